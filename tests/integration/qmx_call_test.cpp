// qmx-call against the real update service: every method end to end, the
// service's state across restarts, a missing service or package, and the
// tool's own errors.

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace support {
namespace {

const char kSocketError[] = "4097";     // 0x1001
const char kNotInstalled[] = "4099";    // 0x1003
const char kUpdateScheduleJson[] =
    "{\"IsAutoSetting\": true, \"RepeatType\": 2, \"DayOfWeek\": \"Sun\", "
    "\"Date\": \"\", \"Time\": \"04:30\"}";
const std::vector<std::string> kSetUpdateSchedule = {
    "SetAutoUpdateSetting", "UpdateSchedule.IsAutoSetting=TRUE",
    "UpdateSchedule.RepeatType=2", "UpdateSchedule.DayOfWeek=Sun",
    "UpdateSchedule.Date=", "updateschedule.time=04:30"};

std::vector<std::string> Concat(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The JSON line of a call that reached the provider and needs no outputs.
std::string Answer(const std::string& method, const std::string& status,
                   const std::string& return_value,
                   const std::string& outputs = "") {
  return "{\"method\": \"" + method + "\", \"status\": " + status +
         ", \"ReturnValue\": " + return_value + outputs + "}\n";
}

class QmxCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.WriteSocketConfig();
    root_.WritePackageStatus(true);
  }

  CommandResult Call(const std::vector<std::string>& args) {
    Command command;
    command.argv = Concat({QMX_CALL_PATH}, args);
    command.env["QMX_ROOT"] = root_.dir();
    command.unset_env = {"QMX_TRACE_LEVEL"};
    return RunCommand(command);
  }

  // Runs a --json call and checks its output line and exit status.
  void ExpectJson(const std::vector<std::string>& args,
                  const std::string& json, int exit_code) {
    CommandResult result = Call(Concat({"--json"}, args));
    EXPECT_EQ(json, result.out) << args[0] << ": " << result.Describe();
    EXPECT_EQ(exit_code, result.exit_code) << args[0];
  }

  TempRoot root_;
  ServiceProcess service_{QMXUPDTMNGR_PATH, &root_};
};

TEST_F(QmxCallTest, EveryMethodReachesTheServiceAndBack) {
  service_.Start();
  // In order: each Get reads back what the Set before it stored. The values
  // carry the list separator, quotes, a backslash and a control byte.
  struct Step {
    std::vector<std::string> args;
    std::string json;
  };
  const std::vector<Step> steps = {
      {{"SetAutoDownloadSetting", "DownloadSchedule.IsAutoSetting=1",
        "DownloadSchedule.RepeatType=-7", "DownloadSchedule.DayOfWeek=Mon",
        "DownloadSchedule.Date=2027-01-31", "DownloadSchedule.Time=03:00",
        "DownloadSetting.DownloadType=1",
        "DownloadSetting.WebSiteUrl=https://updates.example/qmx?a=1;b=2",
        "DownloadSetting.ProxyAddress=proxy", "DownloadSetting.ProxyPort=8080",
        "DownloadSetting.ProxyUser=me",
        "DownloadSetting.ProxyPassword=p;a\"s\\s\tw",
        "DownloadSetting.CacheServerPath=\\\\cache\\share"},
       Answer("SetAutoDownloadSetting", "0", "0")},
      {{"GetAutoDownloadSetting"},
       Answer("GetAutoDownloadSetting", "0", "0",
              ", \"DownloadSchedule\": {\"IsAutoSetting\": true, "
              "\"RepeatType\": -7, \"DayOfWeek\": \"Mon\", \"Date\": "
              "\"2027-01-31\", \"Time\": \"03:00\"}, \"DownloadSetting\": "
              "{\"DownloadType\": 1, \"WebSiteUrl\": "
              "\"https://updates.example/qmx?a=1;b=2\", \"ProxyAddress\": "
              "\"proxy\", \"ProxyPort\": \"8080\", \"ProxyUser\": \"me\", "
              "\"ProxyPassword\": \"p;a\\\"s\\\\s\\u0009w\", "
              "\"CacheServerPath\": \"\\\\\\\\cache\\\\share\", "
              "\"CacheServerUser\": \"\", \"CacheServerPassword\": \"\", "
              "\"TempDriveLetter\": \"\"}")},
      {kSetUpdateSchedule, Answer("SetAutoUpdateSetting", "0", "0")},
      {{"GetAutoUpdateSetting"},
       Answer("GetAutoUpdateSetting", "0", "0",
              std::string(", \"UpdateSchedule\": ") + kUpdateScheduleJson)},
      {{"DownloadAll", "DownloadSetting.DownloadType=2",
        "DownloadSetting.ExternalMediaPath=/media/usb0"},
       Answer("DownloadAll", "0", "0")},
      {{"UpdateAll"}, Answer("UpdateAll", "0", "0", ", \"Reboot\": 0")},
      {{"RollbackAll"}, Answer("RollbackAll", "0", "0", ", \"Reboot\": 0")},
      {{"NoticeModuleUpdate"}, Answer("NoticeModuleUpdate", "0", "0")},
      {{"ExecuteReboot"}, Answer("ExecuteReboot", "0", "0")},
      {{"GetQmxStatus"}, Answer("GetQmxStatus", "0", "0")},
      {{"GetProviderVersion"},
       Answer("GetProviderVersion", "0", "0", ", \"Version\": \"42.0\"")},
  };
  for (const Step& step : steps) ExpectJson(step.args, step.json, 0);

  // The actions reached the service as asked.
  std::string journal = root_.ReadFile(kServiceJournalPath);
  for (const char* kind : {"exmndnld", "exmnupdt", "exmnrlbk", "mdulupdt",
                           "exreboot"}) {
    EXPECT_NE(std::string::npos, journal.find(kind)) << kind << "\n" << journal;
  }
  EXPECT_NE(std::string::npos, journal.find("ExternalMediaPath=/media/usb0"))
      << journal;
}

TEST_F(QmxCallTest, SettingsSurviveARestartAndServiceCodesPassThrough) {
  service_.Start();
  ExpectJson(kSetUpdateSchedule, Answer("SetAutoUpdateSetting", "0", "0"), 0);
  ASSERT_EQ(0, service_.Stop());
  EXPECT_FALSE(root_.Exists(SocketSettings().path));

  // The state file's knobs make the service answer a status code and ask
  // for a reboot; both must reach the caller unchanged.
  std::string state = root_.ReadFile(kServiceStatePath);
  for (auto edit : {std::make_pair("Status=0000", "Status=0123"),
                    std::make_pair("Reboot=00000000", "Reboot=00000001")}) {
    size_t at = state.find(edit.first);
    ASSERT_NE(std::string::npos, at) << state;
    state.replace(at, std::string(edit.first).size(), edit.second);
  }
  root_.WriteFile(kServiceStatePath, state);
  service_.Start();

  ExpectJson({"GetAutoUpdateSetting"},
             Answer("GetAutoUpdateSetting", "0", "0",
                    std::string(", \"UpdateSchedule\": ") + kUpdateScheduleJson),
             0);
  ExpectJson({"GetQmxStatus"}, Answer("GetQmxStatus", "0", "291"), 1);
  ExpectJson({"UpdateAll"}, Answer("UpdateAll", "0", "0", ", \"Reboot\": 1"),
             0);
}

TEST_F(QmxCallTest, WithoutServiceOrPackageTheReturnValueSaysWhy) {
  // No service runs. The install check comes first; the status query makes
  // none and so meets the missing service.
  struct Case {
    bool installed;
    std::string method;
    std::string return_value;
    std::string outputs;
  };
  const std::vector<Case> cases = {
      {true, "GetAutoUpdateSetting", kSocketError, ", \"UpdateSchedule\": null"},
      {true, "UpdateAll", kSocketError, ", \"Reboot\": null"},
      {true, "GetQmxStatus", kSocketError, ""},
      {false, "ExecuteReboot", kNotInstalled, ""},
      {false, "GetAutoUpdateSetting", kNotInstalled,
       ", \"UpdateSchedule\": null"},
      {false, "GetQmxStatus", kSocketError, ""},
  };
  for (const Case& c : cases) {
    root_.WritePackageStatus(c.installed);
    ExpectJson({c.method}, Answer(c.method, "0", c.return_value, c.outputs), 1);
  }
}

TEST_F(QmxCallTest, MethodsTheProviderDoesNotServe) {
  // The schema matches names in any case, the provider only exactly: the
  // call reaches the provider and is refused there.
  ExpectJson({"getqmxstatus"}, Answer("getqmxstatus", "2147749973", "null"), 2);
  ExpectJson({"GETPROVIDERVERSION"},
             Answer("GETPROVIDERVERSION", "2147749973", "null",
                    ", \"Version\": null"),
             2);
  // A name the schema does not declare is refused before any operation.
  ExpectJson({"Reboot"}, Answer("Reboot", "2147483649", "null"), 2);
}

TEST_F(QmxCallTest, TextReportShowsInstancesAndMeanings) {
  service_.Start();
  ASSERT_EQ(0, Call({"SetAutoUpdateSetting", "UpdateSchedule.DayOfWeek=a\"b\\c"})
                   .exit_code);
  CommandResult result = Call({"GetAutoUpdateSetting"});
  EXPECT_EQ(0, result.exit_code);
  EXPECT_EQ(
      "GetAutoUpdateSetting: status 0x00000000 success\n"
      "ReturnValue: 0x00000000 (0) success\n"
      "UpdateSchedule = instance of Veltrax_UpdateSchedule {\n"
      "    IsAutoSetting = FALSE;\n"
      "    RepeatType = 0;\n"
      "    DayOfWeek = \"a\\\"b\\\\c\";\n"
      "    Date = \"\";\n"
      "    Time = \"\";\n"
      "};\n",
      result.out);
  EXPECT_EQ("", result.err);  // no trace on the terminal unless asked

  service_.Stop();
  result = Call({"UpdateAll"});
  EXPECT_EQ(1, result.exit_code);
  EXPECT_EQ(
      "UpdateAll: status 0x00000000 success\n"
      "ReturnValue: 0x00001001 (4097) send or receive failed\n"
      "Reboot = NULL\n",
      result.out);
}

TEST_F(QmxCallTest, TraceGoesToStderrAndTheLogFile) {
  service_.Start();
  CommandResult result = Call({"--trace", "GetProviderVersion"});
  EXPECT_EQ(0, result.exit_code) << result.Describe();
  const char line[] = "MethodName = GetProviderVersion";
  EXPECT_NE(std::string::npos, result.err.find(line)) << result.err;
  EXPECT_NE(std::string::npos, root_.ReadFile(kProviderLogPath).find(line));
}

TEST_F(QmxCallTest, UsageErrorsSayWhatWasWrong) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "no method given"},
      {{"--verbose", "GetQmxStatus"}, "unknown option \"--verbose\""},
      {{"GetQmxStatus", "--schema"}, "--schema needs a path"},
      {{"--schema", "/nonexistent/x.mof", "GetQmxStatus"},
       "cannot load the schema: /nonexistent/x.mof"},
      {{"--provider=/nonexistent/x.so", "GetQmxStatus"},
       "cannot load the provider"},
      {{"GetQmxStatus", "Force=1"}, "GetQmxStatus takes no input parameters"},
      {{"Reboot", "Force=1"}, "the schema declares no method Reboot"},
      {{"SetAutoUpdateSetting", "Schedule.Time=1"},
       "has no \"Schedule\" (known: UpdateSchedule)"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.Hour=1"},
       "Veltrax_UpdateSchedule has no \"Hour\""},
      {{"SetAutoUpdateSetting", "UpdateSchedule=1"}, "is an embedded object"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.Time"},
       "neither PARAM=VALUE nor PARAM.PROPERTY=VALUE"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.IsAutoSetting=yes"},
       "\"yes\" is not a boolean"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.RepeatType=2147483648"},
       "is not a sint32"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.RepeatType=-2147483649"},
       "is not a sint32"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.RepeatType=1x"},
       "is not a sint32"},
  };
  for (const Case& c : cases) {
    CommandResult result = Call(c.args);
    std::string label = c.args.empty() ? "(none)" : c.args.back();
    EXPECT_EQ(64, result.exit_code) << label << ": " << result.Describe();
    EXPECT_EQ("", result.out) << label;
    EXPECT_NE(std::string::npos, result.err.find(c.message))
        << label << ": " << result.err;
  }
  CommandResult help = Call({"--help"});
  EXPECT_EQ(0, help.exit_code);
  EXPECT_EQ(0u, help.out.find("usage: qmx-call"));
}

}  // namespace
}  // namespace support
}  // namespace qmx
