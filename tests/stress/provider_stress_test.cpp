// Eight host threads calling one provider object at once, over the real
// transport to the real update service. The provider takes no lock: a
// cycle that finds the link held must give up with 0x1002 at once, so
// every call ends with 0 or 0x1002, no two transports are ever alive
// together, and every host object a call acquires is released.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
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
const uint32_t kLinkBusy = 0x1002;

struct MethodCall {
  std::string method;
  std::vector<InputField> fields;
};

// What each thread cycles through: reads, writes of both schedules, the
// status query and an action the service journals. Each thread writes its
// own values, so that concurrent Sets differ.
std::vector<MethodCall> MethodMix(int thread) {
  std::string day = "Day" + std::to_string(thread);
  return {
      {"GetAutoDownloadSetting", {}},
      {"SetAutoUpdateSetting",
       {{"UpdateSchedule", "IsAutoSetting", true},
        {"UpdateSchedule", "RepeatType", thread},
        {"UpdateSchedule", "DayOfWeek", day},
        {"UpdateSchedule", "Time", std::string("02:00")}}},
      {"GetQmxStatus", {}},
      {"GetAutoUpdateSetting", {}},
      {"SetAutoDownloadSetting",
       {{"DownloadSchedule", "RepeatType", thread},
        {"DownloadSetting", "DownloadType", 1},
        {"DownloadSetting", "WebSiteUrl", std::string("http://a;b/") + day}}},
      {"UpdateAll", {}},
  };
}

// What one thread saw; the first few bad calls are kept whole.
struct Tally {
  int done = 0;
  int busy = 0;
  std::vector<std::string> bad;
};

void CallMany(ProviderHost* host, int thread, const std::atomic<bool>* go,
              Tally* tally) {
  std::vector<MethodCall> mix = MethodMix(thread);
  while (!go->load()) std::this_thread::yield();
  for (int i = 0; i < kCallsPerThread; ++i) {
    const MethodCall& call = mix[(i + thread) % mix.size()];
    CallOutcome outcome = host->Call(call.method, call.fields);
    bool delivered =
        outcome.status == WBEM_S_NO_ERROR && outcome.indicated == 1;
    if (delivered && outcome.return_value == 0) {
      tally->done++;
    } else if (delivered && outcome.return_value == kLinkBusy) {
      tally->busy++;
    } else if (tally->bad.size() < 3) {
      char text[160];
      std::snprintf(text, sizeof(text),
                    "%s: status 0x%08x, %d indicated, return value 0x%08x",
                    call.method.c_str(), static_cast<uint32_t>(outcome.status),
                    outcome.indicated, outcome.return_value);
      tally->bad.push_back(text);
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
  TransportCounter transports;
  ProviderHost host(QMX_PROVIDER_LIBRARY, QMX_SCHEMA_FILE);
  const int live_before = testing::LiveObjectCount();

  std::vector<Tally> tallies(kThreads);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(CallMany, &host, t, &go, &tallies[t]);
  }
  auto start = std::chrono::steady_clock::now();
  go = true;
  for (std::thread& thread : threads) thread.join();
  std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;

  Tally all;
  for (const Tally& tally : tallies) {
    all.done += tally.done;
    all.busy += tally.busy;
    for (const std::string& bad : tally.bad) ADD_FAILURE() << bad;
  }
  EXPECT_EQ(all.done + all.busy, kThreads * kCallsPerThread);
  EXPECT_EQ(transports.overlaps(), 0) << "two links open at once";
  EXPECT_EQ(transports.alive(), 0) << "a link outlived its cycle";
  // Every cycle that got the link made exactly one transport; a busy one
  // made none.
  EXPECT_EQ(transports.made(), all.done);
  EXPECT_GT(all.busy, 0) << "the threads never met at the link";
  EXPECT_GT(all.done, 0);
  EXPECT_EQ(testing::LiveObjectCount(), live_before);
  std::printf(
      "stress: %d calls on one provider from %d threads, %d done, "
      "%d found the link busy (0x1002), %.2f s\n",
      kThreads * kCallsPerThread, kThreads, all.done, all.busy, wall.count());
  unsetenv("QMX_ROOT");
}

}  // namespace
}  // namespace support
}  // namespace qmx
