#include "service/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "service/files.h"
#include "service/log.h"
#include "service/request_handler.h"

namespace qmx {
namespace service {
namespace {

// Connections accepted but not yet taken by a worker; beyond this the
// listen backlog holds further clients.
constexpr size_t kMaxPending = 256;

using Clock = std::chrono::steady_clock;

bool Fail(const std::string& message, std::string* error) {
  *error = message;
  return false;
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  *address = sockaddr_un();
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address->sun_path)) return false;
  path.copy(address->sun_path, path.size());
  return true;
}

// True when something accepts connections on path.
bool SomeoneListens(const sockaddr_un& address) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool live = connect(fd, reinterpret_cast<const sockaddr*>(&address),
                      sizeof(address)) == 0;
  close(fd);
  return live;
}

// Clears the way for our socket: nothing there, or a dead instance's socket.
bool ClearSocketPath(const std::string& path, const sockaddr_un& address,
                     std::string* error) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return true;
    return Fail("cannot inspect " + path + ": " + ErrorText(errno), error);
  }
  if (!S_ISSOCK(info.st_mode)) {
    return Fail(path + " exists and is not a socket; not touching it", error);
  }
  if (SomeoneListens(address)) {
    return Fail("another instance is already listening on " + path, error);
  }
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    return Fail("cannot remove stale socket " + path + ": " + ErrorText(errno),
                error);
  }
  Log("replaced stale socket " + path);
  return true;
}

// Only the service's own user and root may talk to it.
bool PeerAllowed(int fd) {
  ucred peer;
  socklen_t size = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    Log("cannot read peer credentials: " + ErrorText(errno));
    return false;
  }
  if (peer.uid == 0 || peer.uid == getuid()) return true;
  Log("refused connection from uid " + std::to_string(peer.uid) + " (pid " +
      std::to_string(peer.pid) + ")");
  return false;
}

enum class ReadResult { kComplete, kTimedOut, kFailed };

// Reads until the client ends its writing, or one byte past the largest
// request (the handler then answers "too large"), within timeout_ms.
ReadResult ReadRequest(int fd, int timeout_ms, std::string* request) {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeout_ms);
  char buffer[8192];
  while (request->size() <= kMaxRequestSize) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) return ReadResult::kTimedOut;
    pollfd wait = {fd, POLLIN, 0};
    int ready = poll(&wait, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return ReadResult::kFailed;
    if (ready == 0) return ReadResult::kTimedOut;
    size_t room = kMaxRequestSize + 1 - request->size();
    ssize_t n = recv(fd, buffer, room < sizeof(buffer) ? room : sizeof(buffer),
                     0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ReadResult::kFailed;
    if (n == 0) return ReadResult::kComplete;
    request->append(buffer, static_cast<size_t>(n));
  }
  return ReadResult::kComplete;
}

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void SetSendTimeout(int fd, int timeout_ms) {
  timeval limit;
  limit.tv_sec = timeout_ms / 1000;
  limit.tv_usec = (timeout_ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

// Reads answer themselves; everything else is worth a log line.
bool IsQuiet(const Reply& reply) {
  return reply.code == kOk &&
         (reply.kind == "gustatus" || reply.kind == "gtatdnld" ||
          reply.kind == "gtatupdt");
}

}  // namespace

Server::Server(const Options& options, ServiceState* state)
    : options_(options), state_(state) {
  if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    stop_pipe_[0] = stop_pipe_[1] = -1;
  }
}

Server::~Server() {
  for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]}) {
    if (fd >= 0) close(fd);
  }
}

bool Server::Listen(std::string* error) {
  const std::string& path = options_.socket_path;
  sockaddr_un address;
  if (stop_pipe_[0] < 0) return Fail("cannot make the stop pipe", error);
  if (!FillAddress(path, &address)) {
    return Fail("socket path is empty or too long: " + path, error);
  }
  if (!MakeDirs(DirName(path), 0755, error)) return false;
  if (!ClearSocketPath(path, address, error)) return false;
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return Fail("socket: " + ErrorText(errno), error);
  // The umask makes the socket 0600 from the moment it exists; nothing else
  // in the process creates files while the server is being set up.
  mode_t old_mask = umask(0177);
  int bound = bind(listen_fd_, reinterpret_cast<const sockaddr*>(&address),
                   sizeof(address));
  int bind_error = errno;
  umask(old_mask);
  if (bound != 0) {
    return Fail("cannot bind " + path + ": " + ErrorText(bind_error), error);
  }
  struct stat info;
  if (chmod(path.c_str(), 0600) != 0 || stat(path.c_str(), &info) != 0 ||
      listen(listen_fd_, SOMAXCONN) != 0) {
    Fail("cannot set up " + path + ": " + ErrorText(errno), error);
    unlink(path.c_str());
    return false;
  }
  socket_device_ = info.st_dev;
  socket_inode_ = info.st_ino;
  return true;
}

void Server::Run() {
  for (size_t i = 0; i < options_.workers; ++i) {
    workers_.emplace_back(&Server::WorkerLoop, this);
  }
  AcceptLoop();
  RemoveSocket();
  TakeBacklog();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void Server::Stop() {
  char byte = 's';
  // Only a full pipe can refuse the byte, and then a stop is pending anyway.
  ssize_t ignored = write(stop_pipe_[1], &byte, 1);
  (void)ignored;
}

void Server::AcceptLoop() {
  while (true) {
    pollfd waits[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    int ready = poll(waits, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || waits[1].revents != 0) return;
    if (waits[0].revents == 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      Enqueue(fd);
    } else if (errno == EMFILE || errno == ENFILE) {
      // Out of descriptors: let workers close some before trying again.
      Log("accept: " + ErrorText(errno));
      poll(nullptr, 0, 100);
    }
  }
}

void Server::Enqueue(int fd) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return pending_.size() < kMaxPending; });
  pending_.push_back(fd);
  changed_.notify_all();
}

void Server::WorkerLoop() {
  while (true) {
    int fd = -1;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
      if (pending_.empty()) return;  // stopping, and nothing left in hand
      fd = pending_.front();
      pending_.pop_front();
      changed_.notify_all();
    }
    Serve(fd);
    close(fd);
  }
}

void Server::Serve(int fd) {
  if (!PeerAllowed(fd)) return;
  std::string request;
  switch (ReadRequest(fd, options_.request_timeout_ms, &request)) {
    case ReadResult::kComplete:
      break;
    case ReadResult::kTimedOut:
      Log("client did not finish its request in time; dropped");
      return;
    case ReadResult::kFailed:
      Log("reading a request failed: " + ErrorText(errno));
      return;
  }
  Reply reply = HandleRequest(request, *state_);
  if (!IsQuiet(reply)) {
    Log(EscapeLine(reply.kind) + " -> " + Hex4(reply.code));
  }
  SetSendTimeout(fd, options_.request_timeout_ms);
  if (!SendAll(fd, EncodeReply(reply))) {
    Log("sending a reply failed: " + ErrorText(errno));
  }
}

void Server::RemoveSocket() {
  // A newer instance may have replaced the path meanwhile; leave its socket.
  struct stat info;
  const std::string& path = options_.socket_path;
  if (stat(path.c_str(), &info) == 0 && info.st_dev == socket_device_ &&
      info.st_ino == socket_inode_) {
    unlink(path.c_str());
  }
}

void Server::TakeBacklog() {
  // Clients that connected before the socket went away are still answered;
  // with the path gone no new ones can arrive.
  fcntl(listen_fd_, F_SETFL, O_NONBLOCK);
  int fd;
  while ((fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
    Enqueue(fd);
  }
  close(listen_fd_);
  listen_fd_ = -1;
}

}  // namespace service
}  // namespace qmx
