#include "bench/floor_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qmx {
namespace bench {
namespace {

// Closes the socket on every path out.
class Socket {
 public:
  Socket() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error("floor client: " + what + ": " +
                           std::strerror(errno));
}

}  // namespace

std::string FloorExchange(const std::string& socket_path,
                          const std::string& request) {
  struct sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    Fail(socket_path);
  }
  std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
  Socket sock;
  if (sock.fd() < 0) Fail("socket");
  if (connect(sock.fd(), reinterpret_cast<struct sockaddr*>(&address),
              sizeof(address)) != 0) {
    Fail("connect " + socket_path);
  }
  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = send(sock.fd(), request.data() + sent, request.size() - sent,
                     MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("send");
    sent += static_cast<size_t>(n);
  }
  if (shutdown(sock.fd(), SHUT_WR) != 0) Fail("shutdown");
  std::string reply;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(sock.fd(), chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("read");
    if (n == 0) break;
    reply.append(chunk, static_cast<size_t>(n));
  }
  return reply;
}

}  // namespace bench
}  // namespace qmx
