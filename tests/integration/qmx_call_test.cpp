// qmx-call against the real update service: every method end to end, the
// service's state across restarts, a missing service or package, and the
// tool's own errors.

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace support {
namespace {

using Args = std::vector<std::string>;

const char kSocketError[] = "4097";   // 0x1001
const char kNotInstalled[] = "4099";  // 0x1003
const char kNotImplemented[] = "2147749973";  // WBEM_E_METHOD_NOT_IMPLEMENTED
const char kUpdateSchedule[] =
    ", \"UpdateSchedule\": {\"IsAutoSetting\": true, \"RepeatType\": 2, "
    "\"DayOfWeek\": \"Sun\", \"Date\": \"\", \"Time\": \"04:30\"}";

// The JSON line qmx-call prints for a call that reached the provider.
std::string Answer(const std::string& method, const std::string& return_value,
                   const std::string& outputs = "",
                   const std::string& status = "0") {
  return "{\"method\": \"" + method + "\", \"status\": " + status +
         ", \"ReturnValue\": " + return_value + outputs + "}\n";
}

class QmxCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.WriteSocketConfig();
    root_.WritePackageStatus(true);
  }

  // With the default trace level.
  CommandResult Call(Args args) {
    args.insert(args.begin(), QMX_CALL_PATH);
    return RunCommand({args, {{"QMX_ROOT", root_.dir()}}, {"QMX_TRACE_LEVEL"}});
  }

  // Runs a --json call and checks its output line and exit status.
  void ExpectJson(Args args, const std::string& json, int exit_code) {
    args.insert(args.begin(), "--json");
    CommandResult result = Call(args);
    EXPECT_EQ(json, result.out) << args[1] << ": " << result.Describe();
    EXPECT_EQ(exit_code, result.exit_code) << args[1];
  }

  TempRoot root_;
  ServiceProcess service_{QMXUPDTMNGR_PATH, &root_};
};

// In order: each Get reads back what the Set before it stored; the values
// carry the list separator, quotes, a backslash and a control byte. The
// restarted service keeps them, and the state file's knobs make it answer a
// status code and ask for a reboot, both passed on unchanged.
TEST_F(QmxCallTest, EveryMethodReachesTheServiceAndItsStateSurvivesARestart) {
  service_.Start();
  const std::pair<Args, std::string> steps[] = {
      {{"SetAutoDownloadSetting", "DownloadSchedule.RepeatType=-7",
        "DownloadSetting.WebSiteUrl=https://updates.example/qmx?a=1;b=2",
        "DownloadSetting.ProxyPassword=p;a\"s\\s\tw"},
       Answer("SetAutoDownloadSetting", "0")},
      {{"GetAutoDownloadSetting"},
       Answer("GetAutoDownloadSetting", "0",
              ", \"DownloadSchedule\": {\"IsAutoSetting\": false, "
              "\"RepeatType\": -7, \"DayOfWeek\": \"\", \"Date\": \"\", "
              "\"Time\": \"\"}, \"DownloadSetting\": {\"DownloadType\": 0, "
              "\"WebSiteUrl\": \"https://updates.example/qmx?a=1;b=2\", "
              "\"ProxyAddress\": \"\", \"ProxyPort\": \"\", \"ProxyUser\": \"\", "
              "\"ProxyPassword\": \"p;a\\\"s\\\\s\\u0009w\", "
              "\"CacheServerPath\": \"\", \"CacheServerUser\": \"\", "
              "\"CacheServerPassword\": \"\", \"TempDriveLetter\": \"\"}")},
      {{"SetAutoUpdateSetting", "UpdateSchedule.IsAutoSetting=TRUE",
        "UpdateSchedule.RepeatType=2", "UpdateSchedule.DayOfWeek=Sun",
        "updateschedule.time=04:30"},
       Answer("SetAutoUpdateSetting", "0")},
      {{"GetAutoUpdateSetting"},
       Answer("GetAutoUpdateSetting", "0", kUpdateSchedule)},
      {{"DownloadAll", "DownloadSetting.DownloadType=2",
        "DownloadSetting.ExternalMediaPath=/media/usb0"},
       Answer("DownloadAll", "0")},
      {{"UpdateAll"}, Answer("UpdateAll", "0", ", \"Reboot\": 0")},
      {{"RollbackAll"}, Answer("RollbackAll", "0", ", \"Reboot\": 0")},
      {{"NoticeModuleUpdate"}, Answer("NoticeModuleUpdate", "0")},
      {{"ExecuteReboot"}, Answer("ExecuteReboot", "0")},
      {{"GetQmxStatus"}, Answer("GetQmxStatus", "0")},
      {{"GetProviderVersion"},
       Answer("GetProviderVersion", "0", ", \"Version\": \"42.0\"")},
  };
  for (const auto& step : steps) ExpectJson(step.first, step.second, 0);
  // The actions reached the service as asked.
  std::string journal = root_.ReadFile(kServiceJournalPath);
  for (const char* kind : {"exmnupdt", "exmnrlbk", "mdulupdt", "exreboot",
                           "exmndnld\tDownloadType=2", "MediaPath=/media/usb0"}) {
    EXPECT_NE(std::string::npos, journal.find(kind)) << kind << "\n" << journal;
  }

  ASSERT_EQ(0, service_.Stop());
  std::string state = root_.ReadFile(kServiceStatePath);
  state.replace(state.find("Status=0000"), 11, "Status=0123");
  state.replace(state.find("Reboot=00000000"), 15, "Reboot=00000001");
  root_.WriteFile(kServiceStatePath, state);
  service_.Start();
  ExpectJson({"GetAutoUpdateSetting"},
             Answer("GetAutoUpdateSetting", "0", kUpdateSchedule), 0);
  ExpectJson({"GetQmxStatus"}, Answer("GetQmxStatus", "291"), 1);
  ExpectJson({"UpdateAll"}, Answer("UpdateAll", "0", ", \"Reboot\": 1"), 0);
}

// No service runs. The install check comes first, but the status query
// makes none and so meets the missing service. The schema matches method
// names in any case, the provider only exactly; a name the schema does not
// declare is refused before any operation.
TEST_F(QmxCallTest, CallsThatCannotSucceedSayWhy) {
  const struct {
    bool installed;
    std::string method, json;
    int exit_code;
  } cases[] = {
      {true, "UpdateAll", Answer("UpdateAll", kSocketError, ", \"Reboot\": null"), 1},
      {false, "GetAutoUpdateSetting",
       Answer("GetAutoUpdateSetting", kNotInstalled, ", \"UpdateSchedule\": null"), 1},
      {false, "ExecuteReboot", Answer("ExecuteReboot", kNotInstalled), 1},
      {false, "GetQmxStatus", Answer("GetQmxStatus", kSocketError), 1},
      {true, "getqmxstatus", Answer("getqmxstatus", "null", "", kNotImplemented), 2},
      {true, "Reboot", Answer("Reboot", "null", "", "2147483649"), 2},
  };
  for (const auto& c : cases) {
    root_.WritePackageStatus(c.installed);
    ExpectJson({c.method}, c.json, c.exit_code);
  }
}

// Text output names the instance and the meaning of each code; trace lines
// go to the terminal only when asked.
TEST_F(QmxCallTest, TextReportAndTrace) {
  service_.Start();
  ASSERT_EQ(0, Call({"SetAutoUpdateSetting", "UpdateSchedule.DayOfWeek=a\"b\\c"})
                   .exit_code);
  CommandResult result = Call({"GetAutoUpdateSetting"});
  EXPECT_EQ(0, result.exit_code);
  EXPECT_EQ(
      "GetAutoUpdateSetting: status 0x00000000 success\n"
      "ReturnValue: 0x00000000 (0) success\n"
      "UpdateSchedule = instance of Veltrax_UpdateSchedule {\n"
      "    IsAutoSetting = FALSE;\n    RepeatType = 0;\n"
      "    DayOfWeek = \"a\\\"b\\\\c\";\n    Date = \"\";\n    Time = \"\";\n"
      "};\n",
      result.out);
  EXPECT_EQ("", result.err);
  result = Call({"--trace", "GetProviderVersion"});
  const char line[] = "MethodName = GetProviderVersion";
  EXPECT_NE(std::string::npos, result.err.find(line)) << result.err;
  EXPECT_NE(std::string::npos, root_.ReadFile(kProviderLogPath).find(line));
}

TEST_F(QmxCallTest, UsageErrorsSayWhatWasWrong) {
  const std::pair<Args, std::string> cases[] = {
      {{}, "no method given"},
      {{"--verbose", "GetQmxStatus"}, "unknown option \"--verbose\""},
      {{"--schema", "/nonexistent/x.mof", "GetQmxStatus"},
       "cannot load the schema: /nonexistent/x.mof"},
      {{"--provider=/nonexistent/x.so", "GetQmxStatus"},
       "cannot load the provider"},
      {{"GetQmxStatus", "Force=1"}, "GetQmxStatus takes no input parameters"},
      {{"SetAutoUpdateSetting", "Schedule.Time=1"},
       "has no \"Schedule\" (known: UpdateSchedule)"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.Time"},
       "neither PARAM=VALUE nor PARAM.PROPERTY=VALUE"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.RepeatType=2147483648"},
       "is not a sint32"},
  };
  for (const auto& c : cases) {
    CommandResult result = Call(c.first);
    EXPECT_EQ(64, result.exit_code) << c.second << ": " << result.Describe();
    EXPECT_EQ("", result.out) << c.second;
    EXPECT_NE(std::string::npos, result.err.find(c.second)) << result.err;
  }
}

}  // namespace
}  // namespace support
}  // namespace qmx
