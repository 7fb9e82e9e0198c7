// Server listens on the service's Unix socket and answers every connection
// with exactly one reply: it reads the request until the client ends its
// writing, hands it to HandleRequest and writes the reply back. Connections
// are served by a fixed pool of workers, each read bounded by a time-out, so
// that many clients are answered at once and a stuck client holds one worker
// only for a while.

#ifndef QMX_SERVICE_SERVER_H_
#define QMX_SERVICE_SERVER_H_

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/service_state.h"

namespace qmx {
namespace service {

class Server {
 public:
  struct Options {
    std::string socket_path;
    size_t workers = 16;
    int request_timeout_ms = 10000;  // whole read, and again the write
  };

  // state must outlive the server.
  Server(const Options& options, ServiceState* state);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Makes the socket's folder (0755), replaces a stale socket left by a dead
  // instance, and listens with mode 0600. Fails when another instance
  // answers on the path or the path holds something that is not a socket.
  bool Listen(std::string* error);

  // Serves until Stop(); then removes the socket, answers the connections
  // already accepted, and returns.
  void Run();

  // Safe to call from a signal handler or any thread, before or during Run.
  void Stop();

 private:
  void AcceptLoop();
  void Enqueue(int fd);
  void WorkerLoop();
  void Serve(int fd);
  void RemoveSocket();
  void TakeBacklog();

  const Options options_;
  ServiceState* const state_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};  // Stop() writes, AcceptLoop polls
  dev_t socket_device_ = 0;      // to remove only the socket we made
  ino_t socket_inode_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<int> pending_;  // accepted, not yet served; guarded by mutex_
  bool stopping_ = false;    // guarded by mutex_
  std::vector<std::thread> workers_;
};

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_SERVER_H_
