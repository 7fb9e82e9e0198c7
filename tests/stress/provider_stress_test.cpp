// Eight host threads calling one provider object at once. The provider takes
// no lock: a cycle that finds the link held must give up with 0x1002 at once,
// so every call ends with 0 or 0x1002, no two transports are ever alive
// together, every cycle that got the link made exactly one, and every host
// object a call acquires is released. The link is the provider's only state
// shared across calls, so one method over the scripted transport is enough;
// the tsan preset runs this to find races.

#include <atomic>
#include <thread>
#include <vector>

#include "tests/provider/provider_fixture.h"

namespace qmx_test {
namespace {

using ProviderStressTest = ProviderTest;

TEST_F(ProviderStressTest, ManyThreadsShareOneProviderObject) {
  const int kThreads = 8;
  const int kCallsPerThread = 1000;
  capture_.reset();  // the lines of 8000 calls would measure the capture
  for (int i = 0; i < kThreads * kCallsPerThread; ++i) Reply("0000exreboot0000");
  std::atomic<int> done{0}, busy{0};
  std::atomic<bool> go{false};  // the threads start together
  auto callMany = [&] {
    while (!go) std::this_thread::yield();
    for (int i = 0; i < kCallsPerThread; ++i) {
      uint32_t value = Call("ExecuteReboot").returnValue();
      ++(value == 0 ? done : busy);
      ASSERT_TRUE(value == 0 || value == 0x1002) << std::hex << "return 0x" << value;
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(callMany);
  go = true;
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(transport_.MostAlive(), 1) << "two links open at once";
  EXPECT_EQ(transport_.Constructed(), done.load());
  EXPECT_GT(busy.load(), 0) << "the threads never met at the link";
  EXPECT_GT(done.load(), 0);
}

}  // namespace
}  // namespace qmx_test
