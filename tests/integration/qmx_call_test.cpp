// qmx-call against the real update service: every method end to end, the
// service's state across restarts, a missing service or package, stored
// values that are not text, the tool's own errors, and standard
// descriptors closed or unwritable.

#include <sys/stat.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/method_table.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace support {
namespace {

using Args = std::vector<std::string>;

const char kSocketError[] = "4097";   // 0x1001
const char kNotInstalled[] = "4099";  // 0x1003
const char kUpdateSchedule[] =
    ",\"UpdateSchedule\":{\"IsAutoSetting\":true,\"RepeatType\":2147483647,"
    "\"DayOfWeek\":\"Sun\",\"Date\":\"\",\"Time\":\"04:30\"}";

// The JSON line qmx-call prints for a call that reached the provider.
std::string Answer(const std::string& method, const std::string& return_value,
                   const std::string& outputs = "",
                   const std::string& status = "0") {
  return "{\"method\":\"" + method + "\",\"status\":" + status +
         ",\"ReturnValue\":" + return_value + outputs + "}\n";
}

class QmxCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.WriteSocketConfig();
    root_.WritePackageStatus(true);
  }

  // With the default trace level; wrapper, when given, starts qmx-call.
  CommandResult Call(Args args, Args wrapper = {}) {
    args.insert(args.begin(), QMX_CALL_PATH);
    args.insert(args.begin(), wrapper.begin(), wrapper.end());
    return RunCommand({args, {{"QMX_ROOT", root_.dir()}}, {"QMX_TRACE_LEVEL"}});
  }

  // Runs a --json call and checks its output line and exit status. The
  // option comes last, which getopt allows.
  void ExpectJson(Args args, const std::string& json, int exit_code) {
    args.push_back("--json");
    CommandResult result = Call(args);
    EXPECT_EQ(json, result.out) << args[0] << ": " << result.Describe();
    EXPECT_EQ(exit_code, result.exit_code) << args[0];
  }

  TempRoot root_;
  ServiceProcess service_{QMXUPDTMNGR_PATH, &root_};
};

// In order: each Get reads back what the Set before it stored; the values
// carry the list separator, quotes, a backslash, control bytes and a byte
// that is not UTF-8 (JSON shows it as U+FFFD). The restarted service keeps
// them, and the state file's knobs make it answer a status code and ask
// for a reboot, both passed on unchanged.
TEST_F(QmxCallTest, EveryMethodReachesTheServiceAndItsStateSurvivesARestart) {
  service_.Start();
  const std::pair<Args, std::string> steps[] = {
      {{"SetAutoDownloadSetting", "DownloadSchedule.RepeatType=-70",
        "DownloadSchedule.IsAutoSetting=False",
        "DownloadSetting.WebSiteUrl=https://updates.example/qmx?a=1;b=2",
        "DownloadSetting.ProxyPassword=p;a\"s\\s\tw\xff\x1b"},
       Answer("SetAutoDownloadSetting", "0")},
      {{"GetAutoDownloadSetting"},
       Answer("GetAutoDownloadSetting", "0",
              ",\"DownloadSchedule\":{\"IsAutoSetting\":false,"
              "\"RepeatType\":-70,\"DayOfWeek\":\"\",\"Date\":\"\","
              "\"Time\":\"\"},\"DownloadSetting\":{\"DownloadType\":0,"
              "\"WebSiteUrl\":\"https://updates.example/qmx?a=1;b=2\","
              "\"ProxyAddress\":\"\",\"ProxyPort\":\"\",\"ProxyUser\":\"\","
              "\"ProxyPassword\":\"p;a\\\"s\\\\s\\tw\xef\xbf\xbd\\u001b\","
              "\"CacheServerPath\":\"\",\"CacheServerUser\":\"\","
              "\"CacheServerPassword\":\"\",\"TempDriveLetter\":\"\"}")},
      {{"SetAutoUpdateSetting", "UpdateSchedule.IsAutoSetting=TRUE",
        "UpdateSchedule.RepeatType=2147483647", "UpdateSchedule.DayOfWeek=Sun",
        "updateschedule.time=04:30"},
       Answer("SetAutoUpdateSetting", "0")},
      {{"GetAutoUpdateSetting"},
       Answer("GetAutoUpdateSetting", "0", kUpdateSchedule)},
      {{"DownloadAll", "DownloadSetting.DownloadType=2",
        "DownloadSetting.ExternalMediaPath=/media/usb0"},
       Answer("DownloadAll", "0")},
      {{"UpdateAll"}, Answer("UpdateAll", "0", ",\"Reboot\":0")},
      {{"RollbackAll"}, Answer("RollbackAll", "0", ",\"Reboot\":0")},
      {{"NoticeModuleUpdate"}, Answer("NoticeModuleUpdate", "0")},
      {{"ExecuteReboot"}, Answer("ExecuteReboot", "0")},
      {{"GetQmxStatus"}, Answer("GetQmxStatus", "0")},
      {{"GetProviderVersion"},
       Answer("GetProviderVersion", "0", ",\"Version\":\"42.0\"")},
  };
  for (const auto& step : steps) ExpectJson(step.first, step.second, 0);
  // The actions reached the service as asked.
  std::string journal = root_.ReadFile(kServiceJournalPath);
  for (const MethodEntry& m : kMethods) {
    EXPECT_TRUE(!m.journaled || journal.find(m.kind) != std::string::npos) << m.kind;
  }
  for (const char* values : {"exmndnld\tDownloadType=2", "MediaPath=/media/usb0"}) {
    EXPECT_NE(std::string::npos, journal.find(values)) << values << "\n" << journal;
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
  ExpectJson({"UpdateAll"}, Answer("UpdateAll", "0", ",\"Reboot\":1"), 0);
}

// Text output names the instance and the meaning of each code, and shows
// control characters and bytes that are not UTF-8 escaped, so that what is
// stored cannot drive the terminal; trace lines go to the terminal only
// when asked.
TEST_F(QmxCallTest, TextReportAndTrace) {
  service_.Start();
  ASSERT_EQ(0, Call({"SetAutoUpdateSetting", "UpdateSchedule.DayOfWeek=a\"b\\c\xff\x1b[31m"
                     "\xc2\x9b\xe0\x80\xc3\xc0\xf4\x90\x80\x80\xed\xa0\x80\xf0\x8f\xbf\xbf\xc1\xbf"
                     "\xc3\xa9\xf0\x9f\x98\x80"}).exit_code);
  CommandResult result = Call({"GetAutoUpdateSetting"});
  EXPECT_EQ(0, result.exit_code);
  EXPECT_EQ(
      "GetAutoUpdateSetting: status 0x00000000 success\n"
      "ReturnValue: 0x00000000 (0) success\n"
      "UpdateSchedule = instance of Veltrax_UpdateSchedule {\n"
      "    IsAutoSetting = FALSE;\n    RepeatType = 0;\n"
      "    DayOfWeek = \"a\\\"b\\\\c\\xff\\x1b[31m\\xc2\\x9b\\xe0\\x80\\xc3\\xc0"
      "\\xf4\\x90\\x80\\x80\\xed\\xa0\\x80\\xf0\\x8f\\xbf\\xbf\\xc1\\xbf"
      "\xc3\xa9\xf0\x9f\x98\x80\";\n"
      "    Date = \"\";\n    Time = \"\";\n"
      "};\n",
      result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ(0u, Call({"Get\x1b[2J"}).out.find("Get\\x1b[2J: status ")) << result.out;
  result = Call({"--trace", "GetProviderVersion"});
  const char line[] = "MethodName = GetProviderVersion";
  EXPECT_NE(std::string::npos, result.err.find(line)) << result.err;
}

// No service runs. The install check comes first, but the status query
// makes none and so meets the missing service; a name the schema does not
// declare is refused by the provider. A usage error is status 64 and
// a line on stderr: options come in either getopt form, what the user
// typed is quoted escaped, a schema that is no regular file is refused
// without waiting or reading it whole. With a standard descriptor closed
// or unwritable the report arrives whole, or status 74 says it did not; it
// never lands in a file we opened (the trace log, opened for an error).
TEST_F(QmxCallTest, CallsThatCannotSucceedSayWhy) {
  const std::string fifo = root_.PathOf("/schema.fifo"), empty = root_.PathOf("/empty.mof");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  root_.WriteFile("/empty.mof", "");
  auto shell = [](const std::string& redirect) {
    return Args{"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirect};
  };
  const Args closed_pipe = {
      "/usr/bin/perl", "-e", "pipe(R, W); close(R); open(STDOUT, '>&W'); exec(@ARGV)"};
  const std::string lost = "qmx-call: cannot write the report: ";
  const struct {
    Args args;
    int exit_code;
    std::string err;
    Args wrapper = {};
    std::string out = "";
    bool installed = true;
  } cases[] = {
      {{"GetAutoUpdateSetting", "--json"}, 1, "", {},
       Answer("GetAutoUpdateSetting", kNotInstalled, ",\"UpdateSchedule\":null"), false},
      {{"GetQmxStatus", "--json"}, 1, "", {}, Answer("GetQmxStatus", kSocketError), false},
      {{"Reboot", "--json"}, 2, "", {}, Answer("Reboot", "null", "", "2147483649")},
      {{}, 64, "no method given"},
      {{"--verbose=3", "GetQmxStatus"}, 64, "unknown option \"--verbose\""},
      {{"--json=yes", "GetQmxStatus"}, 64, "option --json takes no value"},
      {{"GetQmxStatus", "--schema"}, 64, "option --schema needs a path"},
      {{"--provider=", "GetQmxStatus"}, 64, "option --provider needs a path"},
      {{"--schema", "/nonexistent/x.mof", "GetQmxStatus"}, 64,
       "cannot load the schema: /nonexistent/x.mof"},
      {{"--schema", empty, "GetQmxStatus"}, 64, "the schema declares no class VELTRAX_"},
      {{"--schema", "/dev/zero", "GetQmxStatus"}, 64, "cannot load the schema: /dev/zero"},
      {{"--schema=" + fifo, "GetQmxStatus"}, 64, "cannot load the schema: " + fifo},
      {{"--provider=/nonexistent/x.so", "GetQmxStatus"}, 64, "cannot load the provider"},
      {{"GetQmxStatus", "Force=1"}, 64, "GetQmxStatus takes no input parameters"},
      {{"SetAutoUpdateSetting", "Schedule.Time=1"}, 64,
       "has no \"Schedule\" (known: UpdateSchedule)"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.Time"}, 64,
       "neither PARAM=VALUE nor PARAM.PROPERTY=VALUE"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.RepeatType=2147483648"}, 64,
       "is not a sint32"},
      {{"SetAutoUpdateSetting", "UpdateSchedule.RepeatType=\x1b[2J"}, 64,
       "\"\\x1b[2J\" is not a sint32"},
      {{"ExecuteReboot"}, 74, "", shell(">/dev/full 2>&-"), "", false},
      {{"GetQmxStatus"}, 74, lost + "Bad file descriptor\n", shell("<&- >&-")},
      {{"--help"}, 74, lost + "No space left on device\n", shell(">/dev/full")},
      {{"GetQmxStatus"}, 74, lost + "Broken pipe\n", closed_pipe},
  };
  for (const auto& c : cases) {
    root_.WritePackageStatus(c.installed);
    CommandResult result = Call(c.args, c.wrapper);
    EXPECT_EQ(c.exit_code, result.exit_code) << c.err << ": " << result.Describe();
    EXPECT_EQ(c.out, result.out) << c.err;
    EXPECT_NE(std::string::npos, result.err.find(c.err)) << result.err;
  }
  std::string log = root_.ReadFile(kProviderLogPath);  // trace lines only
  for (size_t at = 0; at < log.size(); at = log.find('\n', at) + 1) {
    EXPECT_EQ("20", log.substr(at, 2)) << log;
  }
}

}  // namespace
}  // namespace support
}  // namespace qmx
