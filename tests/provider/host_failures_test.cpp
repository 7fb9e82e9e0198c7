// What each method does when the host, the package database or the link
// fails it: the result the caller gets, the trace that says why, and whether
// anything reached the update service.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/provider/provider_fixture.h"

namespace qmx_test {
namespace {

using HostFailuresTest = ProviderTest;
using qmx::testing::HostOperation;

TEST_F(HostFailuresTest, ReportsEachFailedHostStep) {
  // reply: "" when reading the input fails before the link; output: what
  // was stored before the failure.
  struct Case { std::string method; HostOperation operation; std::string name, reply = "", output = ""; };
  const std::string kGetAuto = "0000gtatupdt00001;0;;;";
  const std::string kGetDownload = "0000gtatdnld00001;0;;;;0;;;;;;;;;";
  const std::string kSchedule =
      "DownloadSchedule={IsAutoSetting=true RepeatType=0 DayOfWeek= Date= Time=}";
  const Case cases[] = {
      {"SetAutoUpdateSetting", HostOperation::kGet, "IsAutoSetting"},
      {"SetAutoDownloadSetting", HostOperation::kGet, "DownloadSetting"},
      {"SetAutoDownloadSetting", HostOperation::kGet, "RepeatType"},
      {"DownloadAll", HostOperation::kGet, "ExternalMediaPath"},
      {"GetAutoUpdateSetting", HostOperation::kGetObject, "Veltrax_UpdateSchedule", kGetAuto},
      {"GetAutoUpdateSetting", HostOperation::kSpawnInstance, "Veltrax_UpdateSchedule", kGetAuto},
      {"GetAutoUpdateSetting", HostOperation::kPut, "Time", kGetAuto},
      {"GetAutoDownloadSetting", HostOperation::kGetObject, "Veltrax_DownloadSetting",
       kGetDownload, kSchedule},
      {"GetAutoDownloadSetting", HostOperation::kPut, "DownloadSetting", kGetDownload, kSchedule},
      {"UpdateAll", HostOperation::kPut, "Reboot", "0000exmnupdt000000000001"},
  };
  const std::map<HostOperation, std::string> verbs = {
      {HostOperation::kGet, "GetInParam"}, {HostOperation::kGetObject, "GetObject"},
      {HostOperation::kSpawnInstance, "SpawnInstance"}, {HostOperation::kPut, "SetOutParam"}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.method + " " + test.name);
    capture_->Clear();
    int constructed = transport_.Constructed();
    if (!test.reply.empty()) Reply(test.reply);
    {
      qmx::testing::FaultInjection faults;
      // An unusual status, so that the trace proves it carries the host's.
      faults.Fail(test.operation, test.name, static_cast<HRESULT>(0x8004abcdu));
      CallResult result = Call(test.method);
      EXPECT_EQ(result.status, WBEM_S_NO_ERROR);
      EXPECT_EQ(result.returnValue(), kFailed);
      EXPECT_EQ(Render(result.out()), test.output);
    }
    EXPECT_TRUE(Traced(TRACE_ERROR, Prefix(test.method) + verbs.at(test.operation) + " is failed " +
                                        test.name + " 8004abcd"));
    EXPECT_FALSE(Traced(TRACE_FUNCTION, Prefix(test.method) + "[END]"));
    // Input that cannot be read never reaches the link.
    EXPECT_EQ(transport_.Constructed() - constructed, test.reply.empty() ? 0 : 1);
  }
}

// Every method ends at the step that fails: a service that is not installed
// (checked on every call, not by the status query, which then finds no
// reply), a failed send, a failed receive, and a link that another cycle
// holds: that cycle still completes, and no refused call closes its link.
// The status query has results and texts of its own.
TEST_F(HostFailuresTest, EndsEveryMethodAtTheFailedStep) {
  struct Case {
    std::function<void()> arrange;
    uint32_t result, statusResult;
    int level;
    std::string traced, statusTraced;
    size_t sends;  // requests of each call that reaches the link
    bool held = false;
  };
  const std::string refused = "SocketClientInitialize is failed";
  const Case cases[] = {
      {[this] { transport_.Push({-1, 0, "", nullptr}); }, 0x1001, 0x1001, TRACE_ERROR,
       "SendMessage is failed", "send failed", 1},
      {[this] { transport_.Push({0, -1, "", nullptr}); }, 0x1001, kFailed, TRACE_ERROR,
       "ReceiveMessage is failed", "recv failed", 1},
      {[] {}, 0x1002, 0x1002, TRACE_ERROR, refused, refused, 0, true},
      {[this] { packages_.Remove("qmxupdtmngr"); }, 0x1003, 0x1001, TRACE_WARNING,
       "CheckUmInstall false", "send failed", 0},
  };
  for (const Case& test : cases) {
    auto callEach = [&] {
      for (const qmx::support::MethodEntry& entry : qmx::support::kMethods) {
        if (*entry.kind == '\0') continue;  // sends nothing
        const std::string method = entry.name;
        SCOPED_TRACE(method + " " + test.traced);
        test.arrange();
        size_t sent = transport_.Requests().size();
        bool status = method == "GetQmxStatus";
        EXPECT_EQ(Call(method).returnValue(), status ? test.statusResult : test.result);
        const std::string traced = Prefix(method) + (status ? test.statusTraced : test.traced);
        EXPECT_TRUE(Traced(status ? TRACE_ERROR : test.level, traced));
        // The operation's last line, after the link has closed.
        EXPECT_EQ(Texts().at(Texts().size() - 3), traced);
        EXPECT_EQ(transport_.Requests().size() - sent, status ? 1 - test.held : test.sends);
      }
    };
    capture_->Clear();
    if (!test.held) {
      callEach();
      continue;
    }
    transport_.Push({0, kReplyLength, "0000exreboot0000", callEach});
    EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0u);
    EXPECT_TRUE(Traced(TRACE_ERROR, Prefix("SocketClientInitialize") + "socket competition error"));
  }
  EXPECT_TRUE(Traced(TRACE_WARNING, Prefix("CheckUmInstall") +
                                        "updatemanager not installed. package version is empty."));
}

}  // namespace
}  // namespace qmx_test
