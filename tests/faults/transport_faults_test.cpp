// The provider's real transport against an update service that misbehaves:
// nobody listening, silence, hang-ups, slow and broken replies, replies at
// and past the size a receive can hold, and a peer that dies mid-reply.
// Every fault must end the call in bounded time with the result code the
// request cycle gives it, and must leave the provider object able to make
// the next call (no link left held).

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "runtime/testing/host_testing.h"
#include "tests/support/child_process.h"
#include "tests/support/provider_host.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_socket.h"

namespace qmx {
namespace support {
namespace {

const uint32_t kSendFailed = 0x1001;
const uint32_t kBadReply = 0x80000001;
const int kReceiveTimeoutMs = 500;
// Every fault ends within this, sanitizer builds included.
const double kBoundMs = kReceiveTimeoutMs + 4000;
const size_t kReceiveBuffer = 0x400000;  // the provider's, NUL included
const size_t kLargestReply = size_t{64} << 20;
// How much the peak resident set may grow while oversized replies are
// refused: about the one receive buffer. Sanitizers add shadow memory and
// keep freed buffers in quarantine, so there only a bound far below the
// largest reply holds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const long kPeakGrowthBoundKib = kLargestReply / 2 / 1024;
#else
const long kPeakGrowthBoundKib = kReceiveBuffer / 1024 + 2048;
#endif

// Faults are met by GetAutoUpdateSetting, whose reply has a body.
const char kMethod[] = "GetAutoUpdateSetting";
const char kGoodReply[] = "000Egtatupdt00001;3;Fri;;02:00";
// A reply head whose last value runs on for as long as the peer writes.
const char kLongReplyHead[] = "0000gtatupdt00001;3;Fri;;";

// The service's side of a fault. Each peer but kDieUnread reads the request
// to its end first.
enum Peer {
  kNoSocket,    // no socket file at all
  kDeadSocket,  // a socket file that nobody listens on
  kAnswer,      // writes the reply and closes
  kHang,        // never answers
  kDie,         // writes the first half of the reply and dies by SIGKILL
  kDieUnread,   // the same, so that the kernel resets the connection
};

struct Fault {
  const char* name;
  Peer peer;
  std::string reply;
  uint32_t expected;
  size_t padded_to = 0;  // the reply's last value runs on to this size
  int pause_ms = 0;      // between bytes of the reply
};

// What the request cycle makes of a reply's content is the provider tests'
// business; here the content only shows the bytes arrived. Replies too
// large for the receive buffer come last.
std::vector<Fault> Faults() {
  const std::string head = kLongReplyHead;
  return {
      {"no socket", kNoSocket, "", kSendFailed},
      {"socket of a dead service", kDeadSocket, "", kSendFailed},
      {"accepts, never answers", kHang, "", kSendFailed},
      {"closes without a byte", kAnswer, "", kSendFailed},
      // Paced well inside the receive time-out, so that a loaded machine
      // still gets the whole reply in time.
      {"answers 1 byte per 5 ms", kAnswer, kGoodReply, 0, 0, 5},
      {"dies mid-reply, request unread", kDieUnread, kGoodReply, kSendFailed},
      // Replies end where the service closes, so a cut reply reaches the
      // provider whole as far as the transport can tell; the cycle then
      // rejects it.
      {"dies mid-reply, request read", kDie, kGoodReply, kBadReply},
      {"answers 0x3FFFFF bytes", kAnswer, head, 0, kReceiveBuffer - 1},
      {"answers 0x400000 bytes", kAnswer, head, kSendFailed, kReceiveBuffer},
      {"answers 8 MiB", kAnswer, head, kSendFailed, 8 << 20},
      {"answers 64 MiB", kAnswer, head, kSendFailed, kLargestReply},
  };
}

// Listens on path and forks the peer; its pid. The peer plays its part on
// its one connection in a child process, so that it can die for real and
// the memory a huge reply takes does not count against the test's. The test
// had one thread when it forked, so the child may do anything; it ends with
// _exit, never returning into the test.
pid_t StartPeer(const std::string& path, const Fault& fault) {
  int listener = ListenUnix(path);
  if (listener < 0) throw std::runtime_error("cannot listen on " + path);
  std::fflush(nullptr);  // or the child inherits output the test still owes
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot fork the peer");
  if (pid > 0) {
    close(listener);
    return pid;
  }
  int fd = accept(listener, nullptr, nullptr);
  if (fault.peer != kDieUnread) ReadToEnd(fd);
  while (fault.peer == kHang) pause();
  const bool dies = fault.peer != kAnswer;
  std::string reply = fault.reply;
  reply.resize(std::max(reply.size(), fault.padded_to), 'x');
  if (dies) reply.resize(reply.size() / 2);
  const size_t piece = fault.pause_ms > 0 ? 1 : reply.size();  // paced: a byte at a time
  for (size_t at = 0; at < reply.size() && SendAll(fd, reply.substr(at, piece)); at += piece) {
    usleep(fault.pause_ms * 1000);
  }
  if (dies) kill(getpid(), SIGKILL);
  _exit(0);
}

// The peak resident set of this process so far, in KiB.
long PeakRssKib() {
  struct rusage usage;
  return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

// One provider object, with a short receive time-out, meets one fault after
// another on the socket of a temporary root, each followed by a well-behaved
// service whose answer the next call must take. A reply too large for the
// receive buffer is refused as it arrives, not read whole first: the peak
// memory of the process grows by about the buffer, however large the reply.
TEST(TransportFaultTest, EveryFaultEndsCleanlyAndTheNextCallWorks) {
  TempRoot root;
  root.WriteSocketConfig(kReceiveTimeoutMs);
  root.WritePackageStatus(true);
  std::filesystem::create_directories(root.PathOf("/var/run/qmx"));
  setenv("QMX_ROOT", root.dir().c_str(), 1);
  ProviderHost host(QMX_PROVIDER_LIBRARY, QMX_SCHEMA_FILE);
  const int live_before = testing::LiveObjectCount();
  const Fault good = {"good", kAnswer, kGoodReply, 0};
  long before_kib = 0;  // the peak before the first reply too large
  for (const Fault& fault : Faults()) {
    if (fault.padded_to >= kReceiveBuffer && before_kib == 0) before_kib = PeakRssKib();
    for (const Fault* meet : {&fault, &good}) {
      const std::string path = root.SocketPath();
      unlink(path.c_str());
      if (meet->peer == kDeadSocket) close(ListenUnix(path));
      pid_t peer = meet->peer > kDeadSocket ? StartPeer(path, *meet) : -1;
      auto start = std::chrono::steady_clock::now();
      CallOutcome outcome = host.Call(kMethod);
      std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
      if (peer > 0) KillProcess(peer);
      EXPECT_EQ(outcome.status, WBEM_S_NO_ERROR) << meet->name;
      EXPECT_EQ(outcome.return_value, meet->expected) << meet->name << " after " << fault.name;
      EXPECT_LT(ms.count(), kBoundMs) << meet->name;
      if (meet == &fault) {
        std::printf("fault matrix: %-36s 0x%08x %8.1f ms\n", fault.name, outcome.return_value,
                    ms.count());
      }
    }
  }
  const long growth_kib = PeakRssKib() - before_kib;
  std::printf("peak RSS growth over replies of 4, 8 and 64 MiB: %ld KiB\n", growth_kib);
  EXPECT_LT(growth_kib, kPeakGrowthBoundKib);
  EXPECT_EQ(testing::LiveObjectCount(), live_before);
}

}  // namespace
}  // namespace support
}  // namespace qmx
