#include "tests/support/unix_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "tests/support/child_process.h"

namespace qmx {
namespace support {
namespace {

// Listens on fd as a process of uid: the kernel takes the credentials a
// client sees (SO_PEERCRED) from whoever calls listen().
bool ListenAs(int fd, uid_t uid) {
  return WaitProcess(ForkAs(uid, [fd] { return listen(fd, 16); }), 20000) == 0;
}

// A socket bound to path and listening as uid, or connected to it; -1 on
// failure.
int OpenUnix(const std::string& path, bool listening, uid_t uid = 0) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  path.copy(address.sun_path, path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const auto* name = reinterpret_cast<const struct sockaddr*>(&address);
  if (listening) unlink(path.c_str());
  bool failed =
      listening ? bind(fd, name, sizeof(address)) != 0 ||
                      (uid != 0 && (chown(path.c_str(), uid, uid) != 0 ||
                                    chmod(path.c_str(), 0666) != 0)) ||
                      !ListenAs(fd, uid)
                : connect(fd, name, sizeof(address)) != 0;
  if (!failed) return fd;
  close(fd);
  return -1;
}

}  // namespace

int ConnectUnix(const std::string& path) { return OpenUnix(path, false); }

int ListenUnix(const std::string& path) { return OpenUnix(path, true); }

int ListenUnixAs(const std::string& path, uid_t uid) {
  return OpenUnix(path, true, uid);
}

bool SendAll(int fd, const std::string& data) {
  for (size_t sent = 0; sent < data.size();) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadToEnd(int fd) {
  std::string data;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return data;
    data.append(buffer, static_cast<size_t>(n));
  }
}

std::string Request(const std::string& kind, const std::string& body) {
  char length[8];
  std::snprintf(length, sizeof(length), "%04X",
                static_cast<unsigned>(body.size() & 0xFFFF));
  return length + kind + "0000" + body;
}

std::string Exchange(const std::string& path, const std::string& request) {
  int fd = ConnectUnix(path);
  if (fd < 0) return "";
  std::string reply;
  if (SendAll(fd, request) && shutdown(fd, SHUT_WR) == 0) reply = ReadToEnd(fd);
  close(fd);
  return reply;
}

}  // namespace support
}  // namespace qmx
