#include "bench/throughput.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/floor_client.h"
#include "bench/harness.h"

namespace qmx {
namespace bench {
namespace {

bool WriteAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The peer's loop; runs in the child until it is killed.
[[noreturn]] void Answer(int listener,
                         const std::map<std::string, std::string>& replies) {
  const std::string unknown = "0000unknown_0010";
  char request[65536];
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    size_t used = 0;
    for (ssize_t n; used < sizeof(request) &&
                    (n = read(fd, request + used, sizeof(request) - used)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      used += static_cast<size_t>(n);
    }
    auto it = used >= 12 ? replies.find(std::string(request + 4, 8)) : replies.end();
    WriteAll(fd, it == replies.end() ? unknown : it->second);
    close(fd);
  }
}

// A client thread with a small stack: 64 of them with the default 8 MiB
// each would take much of a 32-bit address space.
class Client {
 public:
  void Start(std::function<void()>* body) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 512 * 1024);
    started_ = pthread_create(&thread_, &attributes, &Run, body) == 0;
    pthread_attr_destroy(&attributes);
    if (!started_) throw std::runtime_error("cannot start a client thread");
  }
  void Join() {
    if (started_) pthread_join(thread_, nullptr);
    started_ = false;
  }
  ~Client() { Join(); }

 private:
  static void* Run(void* body) {
    (*static_cast<std::function<void()>*>(body))();
    return nullptr;
  }
  pthread_t thread_;
  bool started_ = false;
};

}  // namespace

MinimalPeer::MinimalPeer(const std::string& socket_path,
                         const std::map<std::string, std::string>& replies)
    : path_(socket_path) {
  sockaddr_un address = sockaddr_un();
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof(address.sun_path)) {
    throw std::runtime_error("peer socket path too long: " + path_);
  }
  path_.copy(address.sun_path, path_.size());
  unlink(path_.c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0 ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    std::string why = std::strerror(errno);
    if (listener >= 0) close(listener);
    throw std::runtime_error("peer socket " + path_ + ": " + why);
  }
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) Answer(listener, replies);
  close(listener);
  if (pid_ < 0) throw std::runtime_error("cannot start the peer");
}

MinimalPeer::~MinimalPeer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  unlink(path_.c_str());
}

double RequestsPerSecond(const std::string& socket_path,
                         const std::string& request, int clients,
                         int duration_ms, pid_t server, long* server_kib) {
  std::atomic<bool> stop{false};
  std::atomic<long> answered{0};
  std::atomic<bool> failed{false};
  std::string failure;
  std::function<void()> client = [&] {
    long mine = 0;
    try {
      while (!stop.load(std::memory_order_relaxed)) {
        std::string reply = FloorExchange(socket_path, request);
        if (reply.compare(12, 4, "0000") != 0) {
          throw std::runtime_error("answered " + reply);
        }
        ++mine;
      }
    } catch (const std::exception& error) {
      if (!failed.exchange(true)) failure = error.what();
      stop = true;
    }
    answered += mine;
  };
  std::vector<Client> threads(static_cast<size_t>(clients));
  double start = NowUs();
  try {
    for (Client& thread : threads) thread.Start(&client);
  } catch (...) {
    stop = true;  // the threads started end, and are joined
    throw;
  }
  // The server's memory is taken halfway, with every client at work.
  std::this_thread::sleep_for(std::chrono::milliseconds(duration_ms / 2));
  if (server_kib != nullptr) *server_kib = ResidentKib(server);
  std::this_thread::sleep_for(std::chrono::milliseconds(duration_ms - duration_ms / 2));
  stop = true;
  for (Client& thread : threads) thread.Join();
  double seconds = (NowUs() - start) / 1e6;
  if (failed) throw std::runtime_error("throughput: " + failure);
  return static_cast<double>(answered.load()) / seconds;
}

long ResidentKib(pid_t pid) {
  FILE* file =
      std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (file == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::atol(line + 6);
  }
  std::fclose(file);
  return kib;
}

}  // namespace bench
}  // namespace qmx
