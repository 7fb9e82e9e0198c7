// Eight host threads calling one provider object at once, over the real
// transport to the real update service. The provider takes no lock: a
// cycle that finds the link held must give up with 0x1002 at once, so
// every call ends with 0 or 0x1002, no two transports are ever alive
// together, and every host object a call acquires is released.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "runtime/testing/host_testing.h"
#include "tests/support/child_process.h"
#include "tests/support/provider_host.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace support {
namespace {

const int kThreads = 8;
const int kCallsPerThread = 1000;

// Transports made, alive now, and made while another was alive; calls that
// ended with 0, with 0x1002 (the link was busy), and otherwise.
std::atomic<int> g_made{0}, g_alive{0}, g_overlapping{0}, g_done{0}, g_busy{0}, g_bad{0};

// The real socket channel, counted from its construction to its end.
class CountedChannel : public TransportChannel {
 public:
  CountedChannel(const std::string& component, const std::string& config)
      : inner_(testing::MakeSocketChannel(component, config)) {
    ++g_made;
    if (++g_alive > 1) ++g_overlapping;
  }
  ~CountedChannel() override { --g_alive; }
  int Send(const std::string& text) override { return inner_->Send(text); }
  int Receive(char* buffer, int size, int timeoutMs) override {
    return inner_->Receive(buffer, size, timeoutMs);
  }

 private:
  std::unique_ptr<TransportChannel> inner_;
};

// Each thread cycles through reads, writes of both schedules with values
// of its own (so that concurrent Sets differ), the status query and an
// action the service journals.
void CallMany(ProviderHost* host, int thread) {
  std::string day = "Day" + std::to_string(thread);
  const std::vector<std::pair<std::string, std::vector<InputField>>> mix = {
      {"GetAutoDownloadSetting", {}},
      {"SetAutoUpdateSetting",
       {{"UpdateSchedule", "IsAutoSetting", true}, {"UpdateSchedule", "DayOfWeek", day}}},
      {"GetQmxStatus", {}},
      {"GetAutoUpdateSetting", {}},
      {"SetAutoDownloadSetting",
       {{"DownloadSetting", "DownloadType", thread},
        {"DownloadSetting", "WebSiteUrl", "http://a;b/" + day}}},
      {"UpdateAll", {}}};
  for (int i = 0; i < kCallsPerThread; ++i) {
    const auto& [method, fields] = mix[(i + thread) % mix.size()];
    CallOutcome outcome = host->Call(method, fields);
    uint32_t value = outcome.status == WBEM_S_NO_ERROR && outcome.indicated == 1
                         ? outcome.return_value : 1;
    ++(value == 0 ? g_done : value == 0x1002 ? g_busy : g_bad);
    if (value > 0 && value != 0x1002 && g_bad <= 3) {  // the first few are enough to go on
      ADD_FAILURE() << std::hex << method << ": status 0x" << outcome.status << ", "
                    << outcome.indicated << " indicated, return 0x" << outcome.return_value;
    }
  }
}

TEST(ProviderStressTest, ManyThreadsShareOneProviderObject) {
  TempRoot root;
  root.WriteSocketConfig();
  root.WritePackageStatus(true);
  setenv("QMX_ROOT", root.dir().c_str(), 1);
  ServiceProcess service(QMXUPDTMNGR_PATH, &root);
  service.Start();
  testing::SetTransportFactory([](const std::string& component, const std::string& config) {
    return std::make_unique<CountedChannel>(component, config);
  });
  ProviderHost host(QMX_PROVIDER_LIBRARY, QMX_SCHEMA_FILE);
  const int live_before = testing::LiveObjectCount();
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(CallMany, &host, t);
  for (std::thread& thread : threads) thread.join();
  std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  testing::SetTransportFactory(nullptr);

  EXPECT_EQ(g_bad.load(), 0);
  EXPECT_EQ(g_overlapping.load(), 0) << "two links open at once";
  EXPECT_EQ(g_alive.load(), 0) << "a link outlived its cycle";
  // Every cycle that got the link made exactly one transport; a busy one
  // made none.
  EXPECT_EQ(g_made.load(), g_done.load());
  EXPECT_GT(g_busy.load(), 0) << "the threads never met at the link";
  EXPECT_GT(g_done.load(), 0);
  EXPECT_EQ(testing::LiveObjectCount(), live_before);
  std::printf("stress: %d calls on one provider from %d threads, %d done, "
              "%d found the link busy (0x1002), %.2f s\n",
              kThreads * kCallsPerThread, kThreads, g_done.load(), g_busy.load(), wall.count());
  unsetenv("QMX_ROOT");
}

}  // namespace
}  // namespace support
}  // namespace qmx
