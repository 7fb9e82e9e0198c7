// Server listens on the service's Unix socket and answers every connection
// with exactly one reply. One thread reads requests with an event loop until
// each client ends its writing, so that a client that sends slowly or not at
// all costs a descriptor but no thread, and is closed without a reply at its
// deadline. A request that only reads is answered on that thread while no
// other request is in hand, as it then waits for nothing; the others go to a
// fixed pool of workers, which act on them and write the replies.

#ifndef QMX_SERVICE_SERVER_H_
#define QMX_SERVICE_SERVER_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "service/log.h"
#include "service/protocol.h"
#include "service/service_state.h"

namespace qmx {
namespace service {

// A client holds at most a request's 64 KiB of the service's memory: 2,048
// of them fit a 32-bit address space many times over, and are far more than
// one provider's calls need at once.
constexpr size_t kDefaultMaxConnections = 2048;

// Descriptors kept free below the limit for the service's own files: the
// state file's temporary, the folder's sync and the journal, with room to
// spare. Clients wait in the backlog rather than take them.
constexpr int kDescriptorReserve = 8;

// Clients are held until they end, hit their deadline, or a memory
// shortage closes just the one whose request could not be kept.
class Server {
 public:
  struct Options {
    std::string socket_path;
    size_t workers = 16;
    int request_timeout_ms = 10000;  // from accept to a whole request; the
                                     // reply's write has as long again
    // A listening socket handed over by a service manager; -1: bind
    // socket_path. A handed-over socket is left in place at the end.
    int listen_fd = -1;
    // Clients held at once; more wait in the backlog.
    size_t max_connections = kDefaultMaxConnections;
  };

  // state must outlive the server.
  Server(const Options& options, ServiceState* state);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Takes the handed-over socket, or makes the socket's folder (0755),
  // replaces a stale socket left by a dead instance, and listens with mode
  // 0600. Fails when another instance answers on the path, the path holds
  // something that is not a socket, or the handed-over descriptor is not a
  // listening Unix stream socket.
  bool Listen(std::string* error);

  // Where the listening socket is ("@name" for an abstract one).
  const std::string& address() const { return address_; }

  // Serves until Stop(); then removes the socket it made, closes the
  // connections that have not sent a whole request, answers the others
  // (and those already waiting in the backlog of a socket it removed), and
  // returns.
  void Run();

  // Safe to call from a signal handler or any thread, before or during Run.
  void Stop();

 private:
  struct Connection {
    uint64_t serial;  // tells this connection from a later one on its fd
    std::string request;
    bool draining = false;  // answered "too large"; the rest is read away
    bool watched = false;   // in the event loop's watch list
  };
  struct Deadline {
    std::chrono::steady_clock::time_point when;
    int fd;
    uint64_t serial;
  };
  struct Job {
    int fd = -1;
    std::string request;
    std::string reply;  // when not empty: answered, this is left to send
    bool watched = false;  // still in the event loop's watch list
  };

  bool TakeListener(std::string* error);
  bool BindListener(std::string* error);
  void EventLoop();
  int WaitMs() const;
  void AcceptAll(bool until_empty);
  bool Hold(int fd);
  void PauseAccepting(const std::string& why);
  void PauseAtLimit(const std::string& why);
  void ResumeAccepting();
  void ReadFrom(int fd);
  void Drain(int fd);
  void AwaitMore(int fd);
  void RefuseTooLarge(int fd);
  void HandOver(int fd);
  void AnswerHere(Job* job);
  void Queue(Job* job);
  void CloseConnection(int fd);
  void CloseClient(int fd);
  void ExpireDeadlines();
  void Finish();
  void RemoveSocket();
  void WorkerLoop();
  void Serve(const Job& job);
  void NoteReply(const Reply& reply);
  void SendReply(int fd, const std::string& bytes);

  const Options options_;
  ServiceState* const state_;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};  // Stop() writes, the event loop watches
  std::string address_;
  bool owns_socket_ = false;  // bound here, so removed at the end
  dev_t socket_device_ = 0;   // to remove only the socket we made
  ino_t socket_inode_ = 0;

  // The event loop's own; no other thread touches them.
  std::unordered_map<int, Connection> connections_;
  std::deque<Deadline> deadlines_;  // in accept order, so soonest first
  uint64_t next_serial_ = 0;
  bool accepting_ = true;
  std::chrono::steady_clock::time_point resume_accepting_;
  size_t own_fds_ = 0;  // open when the socket was set up
  // Held at a limit since limit_since_: said once when reached and once
  // when nobody waits any more, with the times it was met meanwhile.
  bool at_limit_ = false;
  std::chrono::steady_clock::time_point limit_since_;
  size_t limit_met_ = 0;
  ThrottledLog dropped_log_;
  ThrottledLog accept_log_;
  ThrottledLog refused_log_;
  ThrottledLog memory_log_;

  // Shared with the workers.
  std::atomic<size_t> clients_{0};  // client descriptors open
  std::atomic<size_t> in_hand_{0};  // requests queued or being served
  ThrottledLog bad_request_log_;
  ThrottledLog reply_log_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;   // whole requests not yet taken; guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::vector<std::thread> workers_;
};

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_SERVER_H_
