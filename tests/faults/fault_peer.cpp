#include "tests/faults/fault_peer.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "tests/support/unix_socket.h"

namespace qmx {
namespace support {
namespace {

void ReadRequest(int fd) { ReadToEnd(fd); }

void Die(int fd, const std::string& reply) {
  SendAll(fd, reply.substr(0, reply.size() / 2));
  kill(getpid(), SIGKILL);
}

}  // namespace

FaultPeer::FaultPeer(const std::string& path, PeerBehaviour behaviour) {
  int listener = ListenUnix(path);
  if (listener < 0) throw std::runtime_error("cannot listen on " + path);
  std::fflush(nullptr);  // or the child inherits output the test still owes
  pid_ = fork();
  if (pid_ == 0) {
    // The test process had one thread when it forked, so the child may do
    // anything; it ends with _exit so that nothing of the test runs twice.
    int fd = accept(listener, nullptr, nullptr);
    try {
      if (fd >= 0) behaviour(fd);
    } catch (...) {
      // Whatever went wrong, the child must not return into the test.
    }
    _exit(0);
  }
  close(listener);
  if (pid_ < 0) throw std::runtime_error("cannot fork the peer");
}

FaultPeer::~FaultPeer() {
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

PeerBehaviour Answer(const std::string& reply) {
  return [reply](int fd) {
    ReadRequest(fd);
    SendAll(fd, reply);
  };
}

PeerBehaviour NeverAnswer() {
  return [](int fd) {
    ReadRequest(fd);
    for (;;) pause();
  };
}

PeerBehaviour CloseWithoutReply() { return ReadRequest; }

PeerBehaviour Trickle(const std::string& reply, int pause_ms) {
  return [reply, pause_ms](int fd) {
    ReadRequest(fd);
    for (char byte : reply) {
      if (!SendAll(fd, &byte, 1)) return;
      usleep(pause_ms * 1000);
    }
  };
}

PeerBehaviour Flood(const std::string& head, size_t size) {
  return [head, size](int fd) {
    ReadRequest(fd);
    if (!SendAll(fd, head)) return;
    const std::string filler(64 * 1024, 'x');
    for (size_t sent = head.size(); sent < size;) {
      size_t piece = std::min(filler.size(), size - sent);
      if (!SendAll(fd, filler.data(), piece)) return;
      sent += piece;
    }
  };
}

PeerBehaviour DieMidReply(const std::string& reply) {
  return [reply](int fd) {
    ReadRequest(fd);
    Die(fd, reply);
  };
}

PeerBehaviour DieBeforeReading(const std::string& reply) {
  return [reply](int fd) { Die(fd, reply); };
}

}  // namespace support
}  // namespace qmx
