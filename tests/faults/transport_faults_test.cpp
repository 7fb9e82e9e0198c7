// The provider's real transport against an update service that misbehaves:
// nobody listening, silence, hang-ups, slow and broken replies, replies at
// and past the size a receive can hold, and a peer that dies mid-reply.
// Every fault must end the call in bounded time with the result code the
// request cycle gives it, and must leave the provider object able to make
// the next call (no link left held).

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "runtime/testing/host_testing.h"
#include "tests/faults/fault_peer.h"
#include "tests/support/provider_host.h"
#include "tests/support/temp_root.h"
#include "tests/support/transport_counter.h"
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

enum class Setup { kNoSocket, kDeadSocket, kPeer };

struct Fault {
  const char* name;
  Setup setup;
  PeerBehaviour behaviour;
  uint32_t expected;
};

std::vector<Fault> Faults() {
  std::string noise;
  for (int i = 0; i < 64; ++i) noise += static_cast<char>(i * 37 + 1);
  return {
      {"no socket", Setup::kNoSocket, nullptr, kSendFailed},
      {"socket of a dead service", Setup::kDeadSocket, nullptr, kSendFailed},
      {"accepts, never answers", Setup::kPeer, NeverAnswer(), kSendFailed},
      {"closes without a byte", Setup::kPeer, CloseWithoutReply(),
       kSendFailed},
      {"answers 1 byte per 10 ms", Setup::kPeer, Trickle(kGoodReply, 10), 0},
      {"answers binary noise", Setup::kPeer, Answer(noise), kBadReply},
      {"answers another kind", Setup::kPeer,
       Answer("000Egtatdnld00001;3;Fri;;02:00"), kBadReply},
      {"answers too few values", Setup::kPeer,
       Answer("0003gtatupdt00001;3"), kBadReply},
      {"answers code 12AB without a body", Setup::kPeer,
       Answer("0000gtatupdt12AB"), kBadReply},
      {"answers code 12AB with a body", Setup::kPeer,
       Answer("0001gtatupdt12AB;"), 0x12AB},
      {"answers 0x3FFFFF bytes", Setup::kPeer,
       Flood(kLongReplyHead, kReceiveBuffer - 1), 0},
      {"answers 0x400000 bytes", Setup::kPeer,
       Flood(kLongReplyHead, kReceiveBuffer), kSendFailed},
      {"answers 8 MiB", Setup::kPeer, Flood(kLongReplyHead, 8 << 20),
       kSendFailed},
      {"dies mid-reply, request unread", Setup::kPeer,
       DieBeforeReading(kGoodReply), kSendFailed},
      // Replies end where the service closes, so a cut reply reaches the
      // provider whole as far as the transport can tell; the cycle then
      // rejects it.
      {"dies mid-reply, request read", Setup::kPeer, DieMidReply(kGoodReply),
       kBadReply},
  };
}

// The peak resident set of this process so far, in KiB.
long PeakRssKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct Timed {
  CallOutcome outcome;
  double ms = 0;
};

// One provider object, with a short receive time-out, meets one fault
// after another on the socket of a temporary root.
class TransportFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SocketSettings settings;
    settings.receive_timeout_ms = kReceiveTimeoutMs;
    root_.WriteSocketConfig(settings);
    root_.WritePackageStatus(true);
    std::filesystem::create_directories(
        std::filesystem::path(root_.SocketPath()).parent_path());
    setenv("QMX_ROOT", root_.dir().c_str(), 1);
    host_.emplace(QMX_PROVIDER_LIBRARY, QMX_SCHEMA_FILE);
  }

  void TearDown() override {
    host_.reset();
    unsetenv("QMX_ROOT");
  }

  // Leaves on the socket path what the fault needs and calls once.
  Timed Meet(const Fault& fault) {
    std::string path = root_.SocketPath();
    unlink(path.c_str());
    if (fault.setup == Setup::kDeadSocket) close(ListenUnix(path));
    std::optional<FaultPeer> peer;
    if (fault.setup == Setup::kPeer) peer.emplace(path, fault.behaviour);
    return TimedCall();
  }

  // A well-behaved service answers; the call must succeed.
  void ExpectNextCallWorks(const char* after) {
    FaultPeer peer(root_.SocketPath(), Answer(kGoodReply));
    EXPECT_EQ(TimedCall().outcome.return_value, 0u) << "after: " << after;
  }

  Timed TimedCall() {
    auto start = std::chrono::steady_clock::now();
    Timed timed;
    timed.outcome = host_->Call(kMethod);
    std::chrono::duration<double, std::milli> took =
        std::chrono::steady_clock::now() - start;
    timed.ms = took.count();
    return timed;
  }

  TempRoot root_;
  TransportCounter transports_;
  std::optional<ProviderHost> host_;
};

TEST_F(TransportFaultTest, EveryFaultEndsCleanlyAndTheNextCallWorks) {
  const int live_before = testing::LiveObjectCount();
  for (const Fault& fault : Faults()) {
    Timed timed = Meet(fault);
    std::printf("fault matrix: %-36s 0x%08x %8.1f ms\n", fault.name,
                timed.outcome.return_value, timed.ms);
    EXPECT_EQ(timed.outcome.status, WBEM_S_NO_ERROR) << fault.name;
    EXPECT_EQ(timed.outcome.return_value, fault.expected) << fault.name;
    EXPECT_LT(timed.ms, kBoundMs) << fault.name;
    EXPECT_EQ(transports_.alive(), 0) << fault.name;
    ExpectNextCallWorks(fault.name);
  }
  EXPECT_EQ(transports_.most_alive(), 1);
  EXPECT_EQ(testing::LiveObjectCount(), live_before);
}

// A reply too large for the receive buffer is refused as it arrives, not
// read whole first: the peak memory of the process grows by about the
// buffer, however large the reply.
TEST_F(TransportFaultTest, OversizedRepliesKeepMemoryBounded) {
  ExpectNextCallWorks("start");
  const long before_kib = PeakRssKib();
  for (size_t size : {kReceiveBuffer, size_t{8} << 20, kLargestReply}) {
    Fault fault = {"oversized", Setup::kPeer, Flood(kLongReplyHead, size),
                   kSendFailed};
    EXPECT_EQ(Meet(fault).outcome.return_value, kSendFailed) << size;
  }
  const long growth_kib = PeakRssKib() - before_kib;
  std::printf("peak RSS growth over replies of 4, 8 and 64 MiB: %ld KiB\n",
              growth_kib);
  EXPECT_LT(growth_kib, kPeakGrowthBoundKib);
}

}  // namespace
}  // namespace support
}  // namespace qmx
