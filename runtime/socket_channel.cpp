// The real transport: one Unix-domain stream connection per request, every
// step bounded by its configured time-out.
//
// The socket does not block: a step that cannot go on at once waits in
// poll() for the time it has left. An exchange then makes one system call
// more than the least any client must (the poll() before the reply), where
// time-outs set on a blocking socket took two setsockopt() calls or more.
// Only a service whose listen backlog is full makes connect() wait, which
// a socket that does not block cannot do; that rare connect waits blocking,
// with its time-out set.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "common/qmx_root.h"
#include "common/socket_config.h"
#include "host/utility.h"
#include "runtime/file_cache.h"
#include "runtime/service_exchange.h"
#include "runtime/transport_channel.h"

namespace qmx {
namespace {

using Clock = std::chrono::steady_clock;

// The configuration as a channel uses it: the socket's path under QMX_ROOT
// (rooted once for each version of the file, whose own path holds the same
// root), and that socket's folder as judged when the file was read.
struct ChannelConfig {
  SocketConfig socket;
  SocketFolder folder;
};

ChannelConfig ReadChannelConfig(const std::string& file) {
  ChannelConfig config{ReadSocketConfig(file), {}};
  config.socket.path = RootedPath(config.socket.path);
  config.folder = JudgeSocketFolder(config.socket.path);
  return config;
}

// Every request cycle makes a new channel; the file is read, and the
// socket's folder judged, again only when the file changes, and its
// settings are shared, not copied. A folder that could not be trusted then
// is judged again on each call, since it may have been made or mended
// since; one that could is judged again when its path leads elsewhere or
// its owner or mode changed (a stat() a call).
std::shared_ptr<const ChannelConfig> LoadConfig(const std::string& file) {
  // Outlives the static destructors of its last users.
  static auto* cache = new FileCache<ChannelConfig>(ReadChannelConfig);
  return cache->Get(file);
}

// Milliseconds left until deadline, rounded up, never negative.
int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

Clock::time_point DeadlineIn(int ms) {
  return Clock::now() + std::chrono::milliseconds(ms);
}

class SocketChannel : public TransportChannel {
 public:
  SocketChannel(const std::string& componentName,
                const std::string& configPath);
  ~SocketChannel() override { Close(); }

  int Send(const std::string& message) override;
  int Receive(char* buffer, int size, int timeoutMs) override;

  // Why the last exchange failed, as traced; "" when it did not.
  const std::string& failure() const { return m_failure; }
  ExchangeFault fault() const { return m_fault; }

 private:
  void ReadConfig(const std::string& configPath);
  bool Connect();
  bool ConnectNow(const struct sockaddr_un& address, Clock::time_point deadline);
  // Whoever listens may be sent a request: root, or the owner of the
  // socket's trusted folder (SO_PEERCRED names the process that listened:
  // for a socket systemd made and handed over, systemd itself).
  bool ServerTrusted();
  bool ConnectWaiting(const struct sockaddr* target, Clock::time_point deadline);
  // Waits until the socket is ready for events (POLLIN or POLLOUT); false,
  // with *timedOut set, when the deadline passed first.
  bool WaitFor(short events, Clock::time_point deadline, bool* timedOut);
  bool SendAll(const std::string& message);
  bool ReadReply(char* buffer, int size, Clock::time_point deadline,
                 int* got);
  // Traces why the exchange failed, closes the socket; returns false.
  bool Fail(const std::string& why, ExchangeFault fault = ExchangeFault::kOther);
  void Close();

  const std::string m_component;
  std::shared_ptr<const ChannelConfig> m_settings;
  const SocketConfig* m_config = nullptr;  // within m_settings
  std::string m_failure;
  ExchangeFault m_fault = ExchangeFault::kNone;
  int m_fd = -1;
};

SocketChannel::SocketChannel(const std::string& componentName,
                             const std::string& configPath)
    : m_component(componentName) {
  ReadConfig(configPath);
}

void SocketChannel::ReadConfig(const std::string& configPath) {
  m_settings = LoadConfig(RootedPath(configPath));
  m_config = &m_settings->socket;
  for (const std::string& error : m_config->errors) {
    CTraceUtility::WriteDebug(m_component, TRACE_ERROR, "%s", error.c_str());
  }
  for (const std::string& warning : m_config->warnings) {
    CTraceUtility::WriteDebug(m_component, TRACE_WARNING, "%s", warning.c_str());
  }
}

bool SocketChannel::Fail(const std::string& why, ExchangeFault fault) {
  m_failure = m_config->path + ": " + why;
  m_fault = fault;
  CTraceUtility::WriteDebug(m_component, TRACE_ERROR, "%s", m_failure.c_str());
  Close();
  return false;
}

void SocketChannel::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

bool SocketChannel::WaitFor(short events, Clock::time_point deadline,
                            bool* timedOut) {
  *timedOut = false;
  for (;;) {
    int ms = RemainingMs(deadline);
    if (ms == 0) {
      *timedOut = true;
      return false;
    }
    struct pollfd wait = {m_fd, events, 0};
    int ready = poll(&wait, 1, ms);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool SocketChannel::Connect() {
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (m_config->path.size() >= sizeof(address.sun_path)) {
    return Fail("socket path too long");
  }
  std::memcpy(address.sun_path, m_config->path.c_str(), m_config->path.size());
  m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_fd < 0) return Fail(std::string("socket: ") + std::strerror(errno));
  return ConnectNow(address, DeadlineIn(m_config->connectTimeoutMs)) && ServerTrusted();
}

bool SocketChannel::ServerTrusted() {
  const SocketFolder* folder = &m_settings->folder;
  SocketFolder now;
  if (!folder->distrust.empty() || SocketFolderChanged(*folder, m_config->path)) {
    now = JudgeSocketFolder(m_config->path);
    folder = &now;
  }
  struct ucred peer;
  socklen_t size = sizeof(peer);
  if (getsockopt(m_fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    return Fail(std::string("cannot learn who listens: ") + std::strerror(errno));
  }
  std::string why = DistrustServer(*folder, peer.uid);
  if (why.empty()) return true;
  if (folder->distrust.empty()) why = "served by " + why;
  return Fail("refused, nothing sent: " + why, ExchangeFault::kDistrusted);
}

// A Unix socket that does not block answers EAGAIN at once when the
// listener's backlog is full; there is nothing to poll() for then.
bool SocketChannel::ConnectNow(const struct sockaddr_un& address,
                               Clock::time_point deadline) {
  const auto* target = reinterpret_cast<const struct sockaddr*>(&address);
  for (;;) {
    if (connect(m_fd, target, sizeof(address)) == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return ConnectWaiting(target, deadline);
    ExchangeFault fault = errno == EACCES || errno == EPERM
                              ? ExchangeFault::kNotPermitted
                              : ExchangeFault::kOther;
    return Fail(std::string("cannot connect: ") + std::strerror(errno), fault);
  }
}

// A blocking connect() waits for room in the backlog up to the send
// time-out, and then answers EAGAIN; the socket stops blocking again after.
bool SocketChannel::ConnectWaiting(const struct sockaddr* target,
                                   Clock::time_point deadline) {
  int flags = fcntl(m_fd, F_GETFL);
  if (flags < 0 || fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return Fail(std::string("cannot wait to connect: ") + std::strerror(errno));
  }
  for (;;) {
    int ms = RemainingMs(deadline);
    if (ms == 0) return Fail("connect timed out");
    struct timeval limit;
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    if (setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0) {
      return Fail(std::string("cannot wait to connect: ") + std::strerror(errno));
    }
    if (connect(m_fd, target, sizeof(struct sockaddr_un)) == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return Fail("connect timed out");
    return Fail(std::string("cannot connect: ") + std::strerror(errno));
  }
  if (fcntl(m_fd, F_SETFL, flags) != 0) {
    return Fail(std::string("cannot connect: ") + std::strerror(errno));
  }
  return true;
}

bool SocketChannel::SendAll(const std::string& message) {
  Clock::time_point deadline = DeadlineIn(m_config->sendTimeoutMs);
  size_t sent = 0;
  while (sent < message.size()) {
    ssize_t n = send(m_fd, message.data() + sent, message.size() - sent,
                     MSG_NOSIGNAL);
    bool timedOut = false;
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (WaitFor(POLLOUT, deadline, &timedOut)) continue;
      if (timedOut) return Fail("send timed out");
      return Fail(std::string("send failed: ") + std::strerror(errno));
    } else {
      return Fail(std::string("send failed: ") + std::strerror(errno));
    }
  }
  if (shutdown(m_fd, SHUT_WR) != 0) {
    return Fail(std::string("shutdown failed: ") + std::strerror(errno));
  }
  return true;
}

int SocketChannel::Send(const std::string& message) {
  Close();  // a second request on one transport starts a new connection
  if (message.size() > static_cast<size_t>(INT_MAX)) {
    Fail("message too large");
    return -1;
  }
  if (!Connect() || !SendAll(message)) return -1;
  return static_cast<int>(message.size());
}

// Reads until EOF into *got bytes; a byte beyond size - 1 means the reply
// cannot fit, and reading stops there. The first read waits in poll(): a
// reply cannot have come before the service had its turn.
bool SocketChannel::ReadReply(char* buffer, int size,
                              Clock::time_point deadline, int* got) {
  const int limit = size - 1;
  bool ready = false;
  for (;;) {
    bool timedOut = false;
    if (!ready && !WaitFor(POLLIN, deadline, &timedOut)) {
      if (timedOut) return Fail("no reply in time");
      return Fail(std::string("receive failed: ") + std::strerror(errno));
    }
    char probe;
    char* into = *got < limit ? buffer + *got : &probe;
    size_t room = *got < limit ? static_cast<size_t>(limit - *got) : 1;
    ssize_t n = recv(m_fd, into, room, 0);
    ready = n > 0;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return Fail(std::string("receive failed: ") + std::strerror(errno));
    if (n == 0) break;
    if (*got >= limit) {
      return Fail("reply does not fit in " + std::to_string(limit) + " bytes");
    }
    *got += static_cast<int>(n);
  }
  if (*got == 0) return Fail("closed without a reply");
  return true;
}

int SocketChannel::Receive(char* buffer, int size, int timeoutMs) {
  if (buffer == nullptr || size < 1) {
    Fail("no room for a reply");
    return -1;
  }
  buffer[0] = '\0';
  if (m_fd < 0) {
    CTraceUtility::WriteDebug(m_component, TRACE_ERROR,
                              "%s: receive without a connection",
                              m_config->path.c_str());
    return -1;
  }
  int waitMs = timeoutMs > 0 ? timeoutMs : m_config->receiveTimeoutMs;
  int got = 0;
  bool ok = ReadReply(buffer, size, DeadlineIn(waitMs), &got);
  Close();
  if (!ok) {
    buffer[0] = '\0';
    return -1;
  }
  buffer[got] = '\0';
  return got;
}

}  // namespace

std::unique_ptr<TransportChannel> MakeSocketChannel(
    const std::string& componentName, const std::string& configPath) {
  return std::make_unique<SocketChannel>(componentName, configPath);
}

bool ExchangeWithService(const std::string& componentName,
                         const std::string& configPath,
                         const std::string& request, std::string* reply,
                         std::string* failure, ExchangeFault* fault) {
  constexpr int kReplyRoom = 4 << 20;  // the provider's receive buffer
  SocketChannel channel(componentName, configPath);
  std::vector<char> buffer(kReplyRoom);
  int got = -1;
  if (channel.Send(request) >= 0) got = channel.Receive(buffer.data(), kReplyRoom, 0);
  reply->assign(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
  *failure = channel.failure();
  *fault = channel.fault();
  return got >= 0;
}

}  // namespace qmx
