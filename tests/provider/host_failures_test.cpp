// What each method does when the host, the package database or the link
// fails it: the result the caller gets, the trace that says why, and whether
// anything reached the update service.

#include <string>
#include <vector>

#include "tests/provider/provider_fixture.h"

namespace qmx_test {
namespace {

using HostFailuresTest = ProviderFixture;
using qmx::testing::HostOperation;

const uint32_t kFailed = 0x80000001u;
// An unusual status, so that the traces prove they carry the host's own.
const HRESULT kHostStatus = static_cast<HRESULT>(0x8004abcdu);

const std::string kAllMethods[] = {
    "GetAutoDownloadSetting", "SetAutoDownloadSetting", "DownloadAll",
    "GetAutoUpdateSetting",   "SetAutoUpdateSetting",   "UpdateAll",
    "RollbackAll",            "NoticeModuleUpdate",     "ExecuteReboot",
    "GetQmxStatus",
};

TEST_F(HostFailuresTest, ReportsEachFailedHostStep) {
  struct Case {
    std::string method;
    HostOperation operation;
    std::string name;
    std::string reply;   // "" when the input step fails before the link
    std::string traced;  // after the prefix, with the host's status
  };
  const Case cases[] = {
      {"SetAutoUpdateSetting", HostOperation::kGet, "UpdateSchedule", "",
       "GetInParam is failed UpdateSchedule 8004abcd"},
      {"SetAutoUpdateSetting", HostOperation::kGet, "IsAutoSetting", "",
       "GetInParam is failed IsAutoSetting 8004abcd"},
      {"SetAutoUpdateSetting", HostOperation::kGet, "Date", "",
       "GetInParam is failed Date 8004abcd"},
      {"SetAutoDownloadSetting", HostOperation::kGet, "DownloadSchedule", "",
       "GetInParam is failed DownloadSchedule 8004abcd"},
      {"SetAutoDownloadSetting", HostOperation::kGet, "DownloadSetting", "",
       "GetInParam is failed DownloadSetting 8004abcd"},
      {"SetAutoDownloadSetting", HostOperation::kGet, "RepeatType", "",
       "GetInParam is failed RepeatType 8004abcd"},
      {"SetAutoDownloadSetting", HostOperation::kGet, "TempDriveLetter", "",
       "GetInParam is failed TempDriveLetter 8004abcd"},
      {"DownloadAll", HostOperation::kGet, "DownloadSetting", "",
       "GetInParam is failed DownloadSetting 8004abcd"},
      {"DownloadAll", HostOperation::kGet, "DownloadType", "",
       "GetInParam is failed DownloadType 8004abcd"},
      {"DownloadAll", HostOperation::kGet, "ExternalMediaPath", "",
       "GetInParam is failed ExternalMediaPath 8004abcd"},
      {"GetAutoUpdateSetting", HostOperation::kGetObject,
       "Veltrax_UpdateSchedule", "0000gtatupdt00001;0;;;",
       "GetObject is failed Veltrax_UpdateSchedule 8004abcd"},
      {"GetAutoUpdateSetting", HostOperation::kSpawnInstance,
       "Veltrax_UpdateSchedule", "0000gtatupdt00001;0;;;",
       "SpawnInstance is failed Veltrax_UpdateSchedule 8004abcd"},
      {"GetAutoUpdateSetting", HostOperation::kPut, "Time",
       "0000gtatupdt00001;0;;;", "SetOutParam is failed Time 8004abcd"},
      {"GetAutoUpdateSetting", HostOperation::kPut, "UpdateSchedule",
       "0000gtatupdt00001;0;;;",
       "SetOutParam is failed UpdateSchedule 8004abcd"},
      {"GetAutoDownloadSetting", HostOperation::kGetObject,
       "Veltrax_DownloadSetting", "0000gtatdnld00000;0;;;;0;;;;;;;;;",
       "GetObject is failed Veltrax_DownloadSetting 8004abcd"},
      {"GetAutoDownloadSetting", HostOperation::kSpawnInstance,
       "Veltrax_DownloadSchedule", "0000gtatdnld00000;0;;;;0;;;;;;;;;",
       "SpawnInstance is failed Veltrax_DownloadSchedule 8004abcd"},
      {"GetAutoDownloadSetting", HostOperation::kPut, "ProxyPort",
       "0000gtatdnld00000;0;;;;0;;;;;;;;;",
       "SetOutParam is failed ProxyPort 8004abcd"},
      {"GetAutoDownloadSetting", HostOperation::kPut, "DownloadSetting",
       "0000gtatdnld00000;0;;;;0;;;;;;;;;",
       "SetOutParam is failed DownloadSetting 8004abcd"},
      {"UpdateAll", HostOperation::kPut, "Reboot", "0000exmnupdt000000000001",
       "SetOutParam is failed Reboot 8004abcd"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.method + ": " + test.traced);
    capture_->Clear();
    int constructedBefore = transport_.Constructed();
    if (!test.reply.empty()) Reply(test.reply);
    ObjectPtr input = MakeInput(test.method);
    {
      qmx::testing::FaultInjection faults;
      faults.Fail(test.operation, test.name, kHostStatus);
      CallResult result = Call(test.method, input.get());
      EXPECT_EQ(result.status, WBEM_S_NO_ERROR);
      EXPECT_EQ(result.returnValue(), kFailed);
    }
    EXPECT_TRUE(Traced(TRACE_ERROR, Prefix(test.method) + " " + test.traced));
    EXPECT_FALSE(Traced(TRACE_FUNCTION, Prefix(test.method) + " [END]"));
    // Input that cannot be read never reaches the link.
    int transports = test.reply.empty() ? 0 : 1;
    EXPECT_EQ(transport_.Constructed() - constructedBefore, transports);
  }
}

// A failure in the second instance leaves the first one stored.
TEST_F(HostFailuresTest, KeepsTheScheduleWhenTheSettingsFail) {
  Reply("0000gtatdnld00001;0;;;;0;;;;;;;;;");
  qmx::testing::FaultInjection faults;
  faults.Fail(HostOperation::kGetObject, "Veltrax_DownloadSetting",
              kHostStatus);
  CallResult result = Call("GetAutoDownloadSetting");
  EXPECT_EQ(result.returnValue(), kFailed);
  ObjectPtr schedule = ReadObject(result.out(), "DownloadSchedule");
  ASSERT_TRUE(schedule);
  EXPECT_TRUE(ReadBool(schedule.get(), "IsAutoSetting"));
  EXPECT_TRUE(IsNull(result.out(), "DownloadSetting"));
}

TEST_F(HostFailuresTest, InputWithoutItsObjectIsRefused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"SetAutoUpdateSetting", "UpdateSchedule"},
      {"SetAutoDownloadSetting", "DownloadSchedule"},
      {"DownloadAll", "DownloadSetting"},
  };
  for (const auto& [method, parameter] : cases) {
    SCOPED_TRACE(method);
    ObjectPtr input = MakeInput(method);
    ASSERT_TRUE(input);
    VARIANT null;
    null.vt = VT_NULL;
    ASSERT_GE(input->Put(parameter.c_str(), 0, &null, 0), 0);
    EXPECT_EQ(Call(method, input.get()).returnValue(), kFailed);
    EXPECT_TRUE(TracedContaining(Prefix(method) + " GetInParam is failed " +
                                 parameter + " "));
    EXPECT_EQ(transport_.Constructed(), 0);
  }
}

TEST_F(HostFailuresTest, SendsNothingWhenTheServiceIsNotInstalled) {
  packages_.Remove("qmxupdtmngr");
  const std::string name = provider_->GetProviderName();
  for (const std::string& method : kAllMethods) {
    if (method == "GetQmxStatus") continue;  // it has no install check
    SCOPED_TRACE(method);
    capture_->Clear();
    EXPECT_EQ(Call(method).returnValue(), 0x1003u);
    EXPECT_TRUE(Traced(TRACE_WARNING, Prefix(method) + " CheckUmInstall false"));
    EXPECT_TRUE(TracedUnder(name, TRACE_WARNING,
                            Prefix("CheckUmInstall") +
                                " updatemanager not installed. package version "
                                "is empty."));
  }
  EXPECT_EQ(transport_.Constructed(), 0);

  // The status query has no install check: it still tries the link.
  Reply("0000gustatus0000");
  EXPECT_EQ(Call("GetQmxStatus").returnValue(), 0u);
  EXPECT_EQ(transport_.Constructed(), 1);
}

TEST_F(HostFailuresTest, ChecksTheInstallOnEveryCall) {
  int before = packages_.Queries();
  for (int i = 0; i < 2; ++i) {
    Reply("0000exreboot0000");
    EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0u);
  }
  EXPECT_EQ(packages_.Queries() - before, 2);
  EXPECT_TRUE(TracedUnder(provider_->GetProviderName(), TRACE_DETAIL,
                          Prefix("CheckUmInstall") +
                              " updatemanager install version:[1.0]"));
}

TEST_F(HostFailuresTest, RefusesEveryMethodWhileTheLinkIsHeld) {
  Reply("unused");
  long competition = 0;
  ASSERT_TRUE(core()->SocketClientInitialize(&competition));
  for (const std::string& method : kAllMethods) {
    SCOPED_TRACE(method);
    capture_->Clear();
    EXPECT_EQ(Call(method).returnValue(), 0x1002u);
    EXPECT_TRUE(Traced(TRACE_ERROR,
                       Prefix(method) + " SocketClientInitialize is failed"));
  }
  // The link belongs to the cycle that opened it and is still usable.
  EXPECT_EQ(transport_.Constructed(), 1);
  EXPECT_TRUE(core()->SendMessage("held"));
  core()->SocketClientDeinitialize();
  EXPECT_EQ(transport_.Requests(), std::vector<std::string>{"held"});
}

TEST_F(HostFailuresTest, ReportsAFailedSendOrReceive) {
  struct Case {
    int sendResult;
    int recvResult;
    uint32_t result;
    uint32_t statusResult;  // GetQmxStatus's own rule
    std::string traced;
    std::string statusTraced;
  };
  const Case cases[] = {
      {-1, 0, 0x1001, 0x1001, "SendMessage is failed", "send failed"},
      {0, -1, 0x1001, kFailed, "ReceiveMessage is failed", "recv failed"},
  };
  for (const Case& test : cases) {
    for (const std::string& method : kAllMethods) {
      SCOPED_TRACE(method + " " + test.traced);
      capture_->Clear();
      qmx::testing::Exchange exchange;
      exchange.sendResult = test.sendResult;
      exchange.recvResult = test.recvResult;
      exchange.reply = "0000exreboot0000";
      transport_.Push(exchange);
      bool status = method == "GetQmxStatus";
      EXPECT_EQ(Call(method).returnValue(),
                status ? test.statusResult : test.result);
      EXPECT_TRUE(Traced(TRACE_ERROR, Prefix(method) + " " +
                                          (status ? test.statusTraced
                                                  : test.traced)));
    }
  }
  // Each failed cycle closed its link: the next one opens a new one.
  Reply("0000exreboot0000");
  EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0u);
}

}  // namespace
}  // namespace qmx_test
