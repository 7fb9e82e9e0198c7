// Requests answered per second by a server under many clients at once, and
// the least any server must spend per request to compare it with: a peer
// that answers each request with bytes it was given.

#ifndef QMX_BENCH_THROUGHPUT_H_
#define QMX_BENCH_THROUGHPUT_H_

#include <sys/types.h>

#include <map>
#include <string>

namespace qmx {
namespace bench {

// A child process listening on a Unix socket that answers each request
// with the reply given for its kind (the eight characters at offset 4), in
// one thread: accept, read to the end, write, close. Nothing is parsed,
// checked or saved.
class MinimalPeer {
 public:
  // Throws std::runtime_error when the socket cannot be set up.
  MinimalPeer(const std::string& socket_path,
              const std::map<std::string, std::string>& replies);
  ~MinimalPeer();
  MinimalPeer(const MinimalPeer&) = delete;
  MinimalPeer& operator=(const MinimalPeer&) = delete;

  pid_t pid() const { return pid_; }

 private:
  std::string path_;
  pid_t pid_ = -1;
};

// Requests answered with result "0000" per second by the server at
// socket_path, with clients threads each sending request after request
// for about duration_ms; *server_kib, when given, is the resident memory of
// the process server halfway through. Throws std::runtime_error when a
// request fails.
double RequestsPerSecond(const std::string& socket_path,
                         const std::string& request, int clients,
                         int duration_ms, pid_t server = -1,
                         long* server_kib = nullptr);

// Resident memory of a process in KiB (VmRSS), -1 when unknown.
long ResidentKib(pid_t pid);

}  // namespace bench
}  // namespace qmx

#endif  // QMX_BENCH_THROUGHPUT_H_
