#include "bench/floor_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
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

// Reads until the peer closes or size bytes are in; returns the count.
size_t ReadAll(int fd, char* data, size_t size) {
  size_t used = 0;
  while (used < size) {
    ssize_t n = read(fd, data + used, size - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("read");
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  return used;
}

// The receive buffer's size in the provider's contract.
constexpr size_t kContractBufferSize = 0x400000;

std::string ReadIntoFreshBuffer(int fd) {
  std::unique_ptr<char[]> buffer(new char[kContractBufferSize]);
  size_t used = ReadAll(fd, buffer.get(), kContractBufferSize - 1);
  buffer[used] = '\0';
  return std::string(buffer.get(), strnlen(buffer.get(), used));
}

std::string ReadAsItComes(int fd) {
  std::string reply;
  char chunk[4096];
  for (size_t n = ReadAll(fd, chunk, sizeof(chunk)); n > 0;
       n = ReadAll(fd, chunk, sizeof(chunk))) {
    reply.append(chunk, n);
  }
  return reply;
}

}  // namespace

std::string FloorExchange(const std::string& socket_path,
                          const std::string& request, ReplyBuffer buffer) {
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
  if (buffer == ReplyBuffer::kFreshPerReply) {
    return ReadIntoFreshBuffer(sock.fd());
  }
  return ReadAsItComes(sock.fd());
}

}  // namespace bench
}  // namespace qmx
