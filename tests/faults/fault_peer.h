// A misbehaving update service for the provider's real transport to meet:
// a child process that listens on a socket of its own, accepts one
// connection and then does what its behaviour says. Being a process of its
// own, it can die for real, and the memory it spends on a huge reply does
// not count against the test's.

#ifndef QMX_TESTS_FAULTS_FAULT_PEER_H_
#define QMX_TESTS_FAULTS_FAULT_PEER_H_

#include <sys/types.h>

#include <functional>
#include <string>

namespace qmx {
namespace support {

// What the peer does with its one connection, in the child. Returning ends
// the child, which closes the connection.
using PeerBehaviour = std::function<void(int fd)>;

class FaultPeer {
 public:
  // Listens on path, then forks the child that serves one connection.
  // Throws std::runtime_error when it cannot.
  FaultPeer(const std::string& path, PeerBehaviour behaviour);
  // Kills the child if it still runs; its socket file stays behind, as a
  // dead service's does.
  ~FaultPeer();
  FaultPeer(const FaultPeer&) = delete;
  FaultPeer& operator=(const FaultPeer&) = delete;

 private:
  pid_t pid_ = -1;
};

// Behaviours. Each but DieBeforeReading first reads the request to its end.
PeerBehaviour Answer(const std::string& reply);
PeerBehaviour NeverAnswer();
PeerBehaviour CloseWithoutReply();
// Writes reply one byte at a time, pausing between bytes.
PeerBehaviour Trickle(const std::string& reply, int pause_ms);
// Writes head, then filler up to size bytes in all, as long as the client
// reads.
PeerBehaviour Flood(const std::string& head, size_t size);
// Writes the first half of reply and dies by SIGKILL.
PeerBehaviour DieMidReply(const std::string& reply);
// The same without reading the request first, so that the kernel resets
// the connection when the peer dies with input unread.
PeerBehaviour DieBeforeReading(const std::string& reply);

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_FAULTS_FAULT_PEER_H_
