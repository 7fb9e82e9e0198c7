#include "service/service_manager.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "common/safe_files.h"
#include "service/settings.h"

namespace qmx {
namespace service {
namespace {

// The first descriptor a service manager passes.
constexpr int kFirstPassedFd = 3;

// The variable as a number; -1 when it is unset or not a decimal >= 0.
int32_t NumberIn(const char* name) {
  const char* text = getenv(name);
  int32_t value = -1;
  if (text == nullptr || !ParseInt32(text, &value) || value < 0) return -1;
  return value;
}

}  // namespace

bool SocketHandedOver() {
  return NumberIn("LISTEN_PID") == getpid() && NumberIn("LISTEN_FDS") >= 1;
}

int TakeListeningSocket(std::string* note) {
  note->clear();
  const bool ours = SocketHandedOver();
  const int32_t count = NumberIn("LISTEN_FDS");
  const bool given = getenv("LISTEN_FDS") != nullptr;
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (!given) return -1;
  if (!ours) {
    *note = "LISTEN_FDS is not for this process; binding the socket here";
    return -1;
  }
  if (count > 1) {
    *note = "given " + std::to_string(count) +
            " sockets; using the first (descriptor 3)";
  }
  return kFirstPassedFd;
}

bool NotifyServiceManager(const std::string& state, std::string* error) {
  const char* target = getenv("NOTIFY_SOCKET");
  if (target == nullptr || *target == '\0') return true;
  sockaddr_un address = sockaddr_un();
  address.sun_family = AF_UNIX;
  std::string path = target;
  if (path.size() >= sizeof(address.sun_path)) {
    *error = "NOTIFY_SOCKET is too long";
    return false;
  }
  path.copy(address.sun_path, path.size());
  if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract name
  socklen_t size =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool sent = fd >= 0 && sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address),
                                size) == static_cast<ssize_t>(state.size());
  int saved = errno;
  if (fd >= 0) close(fd);
  if (!sent) *error = "cannot notify " + path + ": " + ErrorText(saved);
  return sent;
}

}  // namespace service
}  // namespace qmx
