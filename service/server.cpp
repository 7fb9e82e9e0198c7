#include "service/server.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "common/safe_files.h"
#include "service/files.h"
#include "service/request_handler.h"

namespace qmx {
namespace service {
namespace {

using Clock = std::chrono::steady_clock;

// How long accepting rests after the descriptors ran out, unless the loop
// frees one itself first.
constexpr auto kAcceptRetry = std::chrono::milliseconds(50);
constexpr int kMaxEvents = 64;

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

// The socket's own address: its path, or "@name" for an abstract one.
std::string AddressOf(int fd) {
  sockaddr_un address = sockaddr_un();
  socklen_t size = sizeof(address);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      size <= offsetof(sockaddr_un, sun_path)) {
    return "(unnamed socket)";
  }
  size_t length = size - offsetof(sockaddr_un, sun_path);
  if (address.sun_path[0] == '\0') {
    return "@" + std::string(address.sun_path + 1, length - 1);
  }
  return std::string(address.sun_path, strnlen(address.sun_path, length));
}

bool IsListeningUnixStream(int fd) {
  int type = 0, listening = 0;
  socklen_t size = sizeof(int);
  sockaddr_un address = sockaddr_un();
  socklen_t address_size = sizeof(address);
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 &&
         type == SOCK_STREAM &&
         getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 &&
         listening != 0 &&
         getsockname(fd, reinterpret_cast<sockaddr*>(&address),
                     &address_size) == 0 &&
         address.sun_family == AF_UNIX;
}

// Only root and the user the service runs as may talk to it: "" for them,
// else why the peer is refused.
std::string DistrustPeer(int fd) {
  ucred peer;
  socklen_t size = sizeof(peer);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    return "cannot read peer credentials: " + ErrorText(errno);
  }
  if (peer.uid == 0 || peer.uid == geteuid()) return "";
  return "refused connection from uid " + std::to_string(peer.uid) + " (pid " +
         std::to_string(peer.pid) + ")";
}

// Why no client may take a descriptor now; "" when one may. Numbers are
// given lowest first, so the next is the lowest free one; every one below it
// is taken, and the reserve must stay free above it. With at most open
// descriptors open, the lowest free one is at most open: only near the
// limit is it looked up.
std::string DistrustNextDescriptor(int any_fd, size_t open) {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return "";
  }
  auto leaves_reserve = [&limit](size_t next) {
    return static_cast<rlim_t>(next) + kDescriptorReserve < limit.rlim_cur;
  };
  if (leaves_reserve(open)) return "";
  int next = fcntl(any_fd, F_DUPFD_CLOEXEC, 0);
  if (next < 0) return ErrorText(errno);
  close(next);
  if (leaves_reserve(static_cast<size_t>(next))) return "";
  return "the last " + std::to_string(kDescriptorReserve) +
         " descriptors are kept for the service's files";
}

// True when the peer has closed its end altogether, so that nobody waits for
// a reply.
bool PeerGone(int fd) {
  pollfd wait = {fd, POLLIN, 0};
  return poll(&wait, 1, 0) == 1 && (wait.revents & POLLHUP) != 0;
}

bool SendAll(int fd, const std::string& data, size_t done = 0) {
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A blocking socket whose writes give up after timeout_ms: for a reply the
// client does not take at once.
void PrepareToReply(int fd, int timeout_ms) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  timeval limit;
  limit.tv_sec = timeout_ms / 1000;
  limit.tv_usec = (timeout_ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

// The descriptors open now; more than any limit when they cannot be
// counted, so that the lowest free one is always looked up.
size_t CountOpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return SIZE_MAX / 2;
  size_t count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;  // with ".", ".." and the folder's own: an upper bound
}

bool Watch(int epoll_fd, int fd, uint32_t events, int operation) {
  epoll_event event = {};
  event.events = events;
  event.data.fd = fd;
  return epoll_ctl(epoll_fd, operation, fd, &event) == 0;
}

}  // namespace

Server::Server(const Options& options, ServiceState* state)
    : options_(options), state_(state) {
  if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    stop_pipe_[0] = stop_pipe_[1] = -1;
  }
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
}

Server::~Server() {
  for (auto& connection : connections_) CloseClient(connection.first);
  for (const Job& job : jobs_) CloseClient(job.fd);
  for (int fd : {listen_fd_, epoll_fd_, stop_pipe_[0], stop_pipe_[1]}) {
    if (fd >= 0) close(fd);
  }
}

bool Server::Listen(std::string* error) {
  if (stop_pipe_[0] < 0 || epoll_fd_ < 0) {
    return Fail("cannot set up the event loop", error);
  }
  if (!(options_.listen_fd >= 0 ? TakeListener(error) : BindListener(error))) {
    return false;
  }
  address_ = AddressOf(listen_fd_);
  own_fds_ = CountOpenDescriptors();
  // Accepting stops at "would block": the loop must never wait in accept.
  fcntl(listen_fd_, F_SETFL, fcntl(listen_fd_, F_GETFL) | O_NONBLOCK);
  if (!Watch(epoll_fd_, listen_fd_, EPOLLIN, EPOLL_CTL_ADD) ||
      !Watch(epoll_fd_, stop_pipe_[0], EPOLLIN, EPOLL_CTL_ADD)) {
    return Fail("cannot watch the socket: " + ErrorText(errno), error);
  }
  return true;
}

bool Server::TakeListener(std::string* error) {
  const int fd = options_.listen_fd;
  if (!IsListeningUnixStream(fd)) {
    return Fail("descriptor " + std::to_string(fd) +
                    " handed over is not a listening Unix stream socket",
                error);
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  listen_fd_ = fd;
  return true;
}

bool Server::BindListener(std::string* error) {
  const std::string& path = options_.socket_path;
  sockaddr_un address;
  if (!FillAddress(path, &address)) {
    return Fail("socket path is empty or too long: " + path, error);
  }
  if (!PrepareFolder(DirName(path), 0755, error)) return false;
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
  owns_socket_ = true;
  socket_device_ = info.st_dev;
  socket_inode_ = info.st_ino;
  return true;
}

void Server::Run() {
  for (size_t i = 0; i < options_.workers; ++i) {
    workers_.emplace_back(&Server::WorkerLoop, this);
  }
  EventLoop();
  Finish();
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

void Server::EventLoop() {
  epoll_event events[kMaxEvents];
  while (true) {
    int ready = epoll_wait(epoll_fd_, events, kMaxEvents, WaitMs());
    if (ready < 0 && errno != EINTR) {
      Log("waiting for clients failed: " + ErrorText(errno));
      return;
    }
    for (int i = 0; i < ready; ++i) {
      int fd = events[i].data.fd;
      if (fd == stop_pipe_[0]) return;
      if (fd == listen_fd_) {
        // One at a time: a request usually comes whole with its connection
        // and is answered before the next is taken.
        AcceptAll(at_limit_);
      } else {
        ReadFrom(fd);
      }
    }
    ExpireDeadlines();
    if (!accepting_ && Clock::now() >= resume_accepting_) ResumeAccepting();
    // Below the limit again: looked at until nobody waits, to say so.
    if (at_limit_ && accepting_) AcceptAll(true);
  }
}

// Until the soonest deadline or the next try at accepting; -1: no limit.
int Server::WaitMs() const {
  bool due = !deadlines_.empty();
  Clock::time_point next = due ? deadlines_.front().when : Clock::time_point();
  if (!accepting_ && (!due || resume_accepting_ < next)) {
    next = resume_accepting_;
    due = true;
  }
  if (!due) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Takes one waiting client, or every one when until_empty; a request that
// has come whole is acted on at once.
void Server::AcceptAll(bool until_empty) {
  while (accepting_) {
    if (clients_ >= options_.max_connections) {
      return PauseAtLimit(std::to_string(clients_) + " clients held, the most allowed");
    }
    // The service's own, those it had at the start and as many again as
    // its workers may open, and the clients'.
    std::string full =
        DistrustNextDescriptor(listen_fd_, own_fds_ + kDescriptorReserve + clients_);
    if (!full.empty()) return PauseAtLimit(full);
    int fd =
        accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return PauseAccepting(ErrorText(errno));
      if (at_limit_) {
        const auto held = std::chrono::duration_cast<std::chrono::milliseconds>(
            Clock::now() - limit_since_);
        Log("accepting connections again: nobody waits after " +
            std::to_string(held.count()) + " ms at the limit; it was met " +
            std::to_string(limit_met_) + " more times meanwhile");
        at_limit_ = false;
      }
      return;
    }
    ++clients_;
    std::string refused = DistrustPeer(fd);
    if (!refused.empty()) {
      refused_log_.Note(refused);
      CloseClient(fd);
      continue;
    }
    if (!Hold(fd)) return;
    ReadFrom(fd);
    if (!until_empty) return;
  }
}

// Holds a new client until its deadline. A shortage of memory closes just
// this client and pauses accepting.
bool Server::Hold(int fd) {
  try {
    const uint64_t serial = next_serial_++;
    connections_[fd] = Connection{serial, std::string()};
    deadlines_.push_back(
        {Clock::now() + std::chrono::milliseconds(options_.request_timeout_ms),
         fd, serial});
  } catch (const std::bad_alloc&) {
    connections_.erase(fd);
    CloseClient(fd);
    PauseAccepting("out of memory");
    return false;
  }
  return true;
}

// Out of descriptors, of kernel memory or at a limit of ours: the clients
// wait in the backlog until there is room again, instead of the loop
// spinning on accept.
void Server::PauseAccepting(const std::string& why) {
  accept_log_.Note("cannot accept connections: " + why +
                   "; clients wait until some end");
  Watch(epoll_fd_, listen_fd_, 0, EPOLL_CTL_MOD);
  accepting_ = false;
  resume_accepting_ = Clock::now() + kAcceptRetry;
}

// A limit that clients hold (the connection cap, the descriptors kept for
// the service's files) is said once when it is reached and once when it
// clears, however long idle clients hold it.
void Server::PauseAtLimit(const std::string& why) {
  if (at_limit_) {
    ++limit_met_;
  } else {
    Log("cannot accept connections: " + why + "; clients wait until some end");
    at_limit_ = true;
    limit_since_ = Clock::now();
    limit_met_ = 0;
  }
  Watch(epoll_fd_, listen_fd_, 0, EPOLL_CTL_MOD);
  accepting_ = false;
  resume_accepting_ = Clock::now() + kAcceptRetry;
}

void Server::ResumeAccepting() {
  if (accepting_) return;
  accepting_ = true;
  Watch(epoll_fd_, listen_fd_, EPOLLIN, EPOLL_CTL_MOD);
}

// Takes what the client has sent; the request is whole at its end of file,
// or one byte past the largest request (answered "too large" at once).
void Server::ReadFrom(int fd) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  if (it->second.draining) return Drain(fd);
  std::string& request = it->second.request;
  char buffer[16384];
  while (request.size() <= kMaxRequestSize) {
    size_t room = kMaxRequestSize + 1 - request.size();
    ssize_t n =
        recv(fd, buffer, room < sizeof(buffer) ? room : sizeof(buffer), 0);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return AwaitMore(fd);
    if (n < 0) {  // the client reset the connection: nobody to answer
      CloseConnection(fd);
      return;
    }
    try {
      request.append(buffer, static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
      memory_log_.Note("closed a client: no memory for its request");
      CloseConnection(fd);
      return;
    }
  }
  if (request.size() > kMaxRequestSize) return RefuseTooLarge(fd);
  HandOver(fd);
}

// The answer goes out before the rest is read, and the rest is read away
// until the client ends its writing: closing with unread bytes would reset
// the connection and lose the answer, or leave the client stuck writing.
void Server::RefuseTooLarge(int fd) {
  Connection& connection = connections_[fd];
  const std::string reply = EncodeReply(HandleRequest(connection.request, *state_));
  std::string().swap(connection.request);
  connection.draining = true;
  bad_request_log_.Note("a request longer than " + std::to_string(kMaxRequestSize) +
                        " bytes -> " + Hex4(kRequestTooLarge));
  // A few bytes into an empty send buffer: no wait.
  if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(reply.size()) ||
      shutdown(fd, SHUT_WR) != 0) {
    CloseConnection(fd);
    return;
  }
  Drain(fd);
}

// Reads and drops what a refused client still sends; closes at its end.
void Server::Drain(int fd) {
  char buffer[16384];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return AwaitMore(fd);
    if (n <= 0) break;
  }
  CloseConnection(fd);
}

// A client that has more to send is watched until it has, or until its
// deadline.
void Server::AwaitMore(int fd) {
  Connection& connection = connections_[fd];
  if (connection.watched) return;
  if (!Watch(epoll_fd_, fd, EPOLLIN, EPOLL_CTL_ADD)) {
    PauseAccepting(ErrorText(errno));
    CloseConnection(fd);
    return;
  }
  connection.watched = true;
}

void Server::HandOver(int fd) {
  auto it = connections_.find(fd);
  Job job{fd, std::move(it->second.request), std::string(), it->second.watched};
  connections_.erase(it);
  // A client that closed without a word waits for nothing.
  if (job.request.empty() && PeerGone(fd)) {
    CloseClient(fd);
    ResumeAccepting();
    return;
  }
  // A request that only reads waits for nothing while no other is in hand
  // (a save holds the settings): answered here, it costs no thread switch.
  if (in_hand_ == 0 && OnlyReads(job.request)) {
    try {
      AnswerHere(&job);
    } catch (const std::bad_alloc&) {
      memory_log_.Note("closed a client: no memory to answer it");
      CloseClient(fd);
    }
    ResumeAccepting();
    return;
  }
  Queue(&job);
}

// Sends what the client takes at once; the rest, if any, goes to a worker,
// which may wait for the client.
void Server::AnswerHere(Job* job) {
  Reply reply = HandleRequest(job->request, *state_);
  const bool routine = IsRoutine(reply);
  // A client that hung up before its answer costs no log line.
  if (!routine && PeerGone(job->fd)) return CloseClient(job->fd);
  if (!routine) NoteReply(reply);
  const std::string bytes = EncodeReply(reply);
  ssize_t sent = send(job->fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent == static_cast<ssize_t>(bytes.size()) ||
      (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    CloseClient(job->fd);  // answered, or nobody to answer
    return;
  }
  job->reply = bytes.substr(sent > 0 ? static_cast<size_t>(sent) : 0);
  std::string().swap(job->request);
  Queue(job);
}

// A client closed here leaves the watch list with its descriptor; one
// queued stays open, and must leave it now, or its end of file would wake the
// loop until a worker closes it.
void Server::Queue(Job* job) {
  const int fd = job->fd;
  if (job->watched) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  job->watched = false;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(*job));
    ++in_hand_;
  } catch (const std::bad_alloc&) {
    memory_log_.Note("closed a client: no memory to queue its request");
    CloseClient(fd);
    ResumeAccepting();
    return;
  }
  changed_.notify_one();
}

void Server::CloseConnection(int fd) {
  connections_.erase(fd);
  CloseClient(fd);  // also ends its watch
  ResumeAccepting();
}

void Server::CloseClient(int fd) {
  close(fd);
  --clients_;
}

// Also forgets the deadlines of connections already handed over or closed,
// so that the queue holds about as many as there are open connections.
void Server::ExpireDeadlines() {
  const Clock::time_point now = Clock::now();
  while (!deadlines_.empty()) {
    const Deadline due = deadlines_.front();
    auto it = connections_.find(due.fd);
    bool live = it != connections_.end() && it->second.serial == due.serial;
    if (live && due.when > now) return;
    deadlines_.pop_front();
    if (!live) continue;
    const bool draining = it->second.draining;
    CloseConnection(due.fd);
    if (draining) continue;  // it had its answer
    dropped_log_.Note("closed a client that sent no whole request within " +
                      std::to_string(options_.request_timeout_ms) + " ms");
  }
}

// Whatever is whole by now is answered; the rest is closed.
void Server::Finish() {
  if (owns_socket_) {
    // Clients that connected before the socket went away are still taken;
    // with the path gone no new ones can arrive. A handed-over socket stays,
    // and so do the clients in its backlog, for the next instance.
    RemoveSocket();
    ResumeAccepting();
    AcceptAll(true);
  }
  std::vector<int> open;
  for (const auto& connection : connections_) open.push_back(connection.first);
  for (int fd : open) ReadFrom(fd);
  if (!connections_.empty()) {
    Log("closed " + std::to_string(connections_.size()) +
        " client(s) that had not sent a whole request");
  }
  while (!connections_.empty()) CloseConnection(connections_.begin()->first);
  deadlines_.clear();
  close(listen_fd_);
  listen_fd_ = -1;
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

void Server::WorkerLoop() {
  while (true) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopping, and nothing left in hand
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    try {
      Serve(job);
    } catch (const std::bad_alloc&) {
      memory_log_.Note("closed a client: no memory to answer it");
    }
    CloseClient(job.fd);
    --in_hand_;
  }
}

// A client that hung up before its answer costs no log line; lines a
// client can cause over and over come at most once a second.
void Server::Serve(const Job& job) {
  if (!job.reply.empty()) return SendReply(job.fd, job.reply);
  Reply reply = HandleRequest(job.request, *state_);
  if (PeerGone(job.fd)) return;
  if (!IsRoutine(reply)) NoteReply(reply);
  SendReply(job.fd, EncodeReply(reply));
}

// Logs a reply that is not routine.
void Server::NoteReply(const Reply& reply) {
  const std::string line = EscapeLine(reply.kind) + " -> " + Hex4(reply.code);
  if (reply.code >= kMalformedHeader && reply.code <= kRequestTooLarge) {
    bad_request_log_.Note(line);
  } else {
    Log(line);
  }
}

// Most replies fit the socket's buffer and go out at once; only for the
// rest does the socket block, up to the deadline.
void Server::SendReply(int fd, const std::string& bytes) {
  ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent == static_cast<ssize_t>(bytes.size())) return;
  PrepareToReply(fd, options_.request_timeout_ms);
  if (!SendAll(fd, bytes, sent > 0 ? static_cast<size_t>(sent) : 0)) {
    reply_log_.Note("sending a reply failed: " + ErrorText(errno));
  }
}

}  // namespace service
}  // namespace qmx
