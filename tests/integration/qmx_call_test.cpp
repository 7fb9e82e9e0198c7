// qmx-call against the real update service: every method end to end, the
// service's state across restarts, a missing service or package, stored
// values that are not text, the tool's own errors, standard descriptors
// closed or unwritable, and --check with each link of the chain broken.

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/samples.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_socket.h"

namespace qmx {
namespace support {
namespace {

using Args = std::vector<std::string>;

const char kSocketError[] = "4097";   // 0x1001
const char kNotInstalled[] = "4099";  // 0x1003

// A sample's outputs as they follow ReturnValue.
std::string Outputs(const Sample& sample) {
  return sample.output.empty() ? "" : "," + sample.output;
}

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

// Every sample, each Set before its Get, answered with the sample's
// outputs; the journal holds each sample's line. The restarted service
// keeps what was set, and the state file's knobs make it answer a status
// code and ask for a reboot, both passed on unchanged.
TEST_F(QmxCallTest, EveryMethodReachesTheServiceAndItsStateSurvivesARestart) {
  service_.Start();
  for (const Sample& sample : InPlayOrder()) {
    ExpectJson(sample.Args(), Answer(sample.method, "0", Outputs(sample)), 0);
  }
  const std::string journal = root_.ReadFile(kServiceJournalPath);
  for (const Sample& sample : Samples()) {
    if (sample.journal.empty()) continue;
    const std::string line = std::regex_replace(sample.journal, std::regex(" "), "\t");
    EXPECT_NE(std::string::npos, journal.find("\t" + line + "\n")) << line << "\n" << journal;
  }

  ASSERT_EQ(0, service_.Stop());
  std::string state = root_.ReadFile(kServiceStatePath);
  state.replace(state.find("Status=0000"), 11, "Status=0123");
  state.replace(state.find("Reboot=00000000"), 15, "Reboot=00000001");
  root_.WriteFile(kServiceStatePath, state);
  service_.Start();
  ExpectJson({"GetAutoUpdateSetting"},
             Answer("GetAutoUpdateSetting", "0", Outputs(SampleOf("GetAutoUpdateSetting"))), 0);
  ExpectJson({"GetQmxStatus"}, Answer("GetQmxStatus", "291"), 1);
  ExpectJson({"UpdateAll"}, Answer("UpdateAll", "0", ",\"Reboot\":1"), 0);
}

// With the wall clock in 2039, past the end of a 32-bit time_t: the
// trace line, the journal line and the name a corrupt state file is set
// aside under all say 2039, also on i386 (64-bit times throughout).
TEST_F(QmxCallTest, TimeStampsPast2038) {
  const time_t in_2039 = 2180000000;  // 2039-01-30
  const std::string shift = std::to_string(in_2039 - time(nullptr));
  // Preloading a library ahead of a sanitizer's runtime needs its consent.
  const char* asan = getenv("ASAN_OPTIONS");
  const std::string asan_options = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
  const std::pair<const char*, std::string> clock[] = {
      {"LD_PRELOAD", QMX_CLOCK_SHIFT_LIBRARY},
      {"QMX_TEST_CLOCK_SHIFT", shift},
      {"ASAN_OPTIONS", asan_options}};
  Args wrapper = {"/usr/bin/env", "QMX_TRACE_LEVEL=31"};
  // The service is started with this process's environment.
  for (const auto& [name, value] : clock) {
    setenv(name, value.c_str(), 1);
    wrapper.push_back(std::string(name) + "=" + value);
  }
  root_.WriteFile(kServiceStatePath, "not a state file\n");
  service_.Start();
  for (const auto& entry : clock) unsetenv(entry.first);
  if (asan) setenv("ASAN_OPTIONS", asan, 1);
  CommandResult result = Call({"NoticeModuleUpdate"}, wrapper);
  ASSERT_EQ(0, result.exit_code) << result.Describe();
  for (const char* log : {kProviderLogPath, kServiceJournalPath}) {
    EXPECT_EQ(0u, root_.ReadFile(log).find("2039-01-")) << log << ": " << root_.ReadFile(log);
  }
  EXPECT_NE(std::string::npos, service_.Log().find("state.corrupt-21800000")) << service_.Log();
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
  // The copy of the trace shows what it quotes as the report does.
  result = Call({"--trace", "GetAutoUpdateSetting"});
  EXPECT_NE(std::string::npos, result.err.find("MethodName = GetAutoUpdateSetting")) << result.err;
  EXPECT_NE(std::string::npos, result.err.find("a\"b\\c\\xff\\x1b[31m")) << result.err;
  EXPECT_EQ(std::string::npos, result.err.find('\x1b'));
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
  const std::string empty = root_.PathOf("/empty.mof");
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
      {{"--check", "GetQmxStatus"}, 64, "--check calls no method, but \"GetQmxStatus\""},
      {{"--schema", "/nonexistent/x.mof", "GetQmxStatus"}, 64,
       "cannot load the schema: /nonexistent/x.mof"},
      {{"--schema", empty, "GetQmxStatus"}, 64, "the schema declares no class VELTRAX_"},
      {{"--schema", "/dev/zero", "GetQmxStatus"}, 64, "cannot load the schema: /dev/zero"},
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
      {{"--check"}, 74, lost + "Bad file descriptor\n", shell(">&-")},
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

// Each row breaks one link of the chain, in a root where every other link
// holds: --check marks it, and only what follows from it, FAILING with what
// it found, and exits 1. A held package is installed as dpkg and the
// provider count it, so with it every link is ok. A user who may not
// connect is told to use root, never the service's user (a dynamic user
// cannot be taken on).
TEST(QmxCallCheckTest, NamesTheBrokenLink) {
  enum Peer { kService, kNothing, kSilent, kStranger };
  TempRoot schemas;
  schemas.WriteFile("/no-class.mof", "");
  schemas.WriteFile("/few.mof", "class VELTRAX_UpdateManager { uint32 UpdateAll(); };");
  const char* const status = "var/lib/dpkg/status", *const logs = "var/log/qmx";
  const struct {
    const char* broken;
    std::string setup;  // shell commands run in the root
    std::string failing;  // the FAILING links, in order
    std::string found;
    Args args = {};
    Peer peer = kService;
    bool as_nobody = false;
  } cases[] = {
      {"nothing (held, JSON)", "sed -i 's/install ok/hold ok/' " + std::string(status), "",
       "qmxupdtmngr 42.0-1, hold ok installed (held", {"--json"}},
      {"no config", "rm opt/veltrax/qmx/um/SocketConfig.ini", "configuration",
       "SocketConfig.ini: does not exist"},
      {"relative path", "echo '[Socket]\nPath=run/x.sock' >opt/veltrax/qmx/um/SocketConfig.ini",
       "configuration", "Path = 'run/x.sock' is not an absolute path"},
      {"no socket", "", "socket service", "qmxupdtmngr.sock: does not exist", {}, kNothing},
      {"no socket folder", "echo '[Socket]\nPath=/run/no/s' >opt/veltrax/qmx/um/SocketConfig.ini",
       "socket service", "/run: No such file or directory", {}, kNothing},
      {"a file at the socket", "mkdir -p var/run/qmx && touch var/run/qmx/qmxupdtmngr.sock",
       "socket service", "qmxupdtmngr.sock: a regular file", {}, kNothing},
      {"silent service", "mkdir -p var/run/qmx", "service", "no reply in time", {}, kSilent},
      {"a stranger listens", "mkdir -p var/run/qmx", "socket service",
       "nothing sent: served by uid 65534 is neither root nor the owner of ", {}, kStranger},
      {"a user who may not connect", "chmod 0755 .", "socket service trace",
       "Permission denied (time-outs: connect 5000 ms, send 5000 ms, receive 2000 ms) -- "
       "nobody (uid 65534) may not connect: run qmx-call --check as root (sudo)",
       {}, kService, true},
      {"package absent", "echo 'Package: libc6' >" + std::string(status), "package",
       "qmxupdtmngr is not installed"},
      {"package removed", "sed -i '6s/install ok installed/deinstall ok config-files/' " +
       std::string(status), "package", "deinstall ok config-files: not installed"},
      {"library exports more", "", "provider",
       "libprovider_exporting_more.so: exports more than \"create\": ",
       {"--provider", QMX_EXPORTING_PROVIDER}},
      {"schema without the class", "", "schema", "declares no class VELTRAX_UpdateManager",
       {"--schema=" + schemas.PathOf("/no-class.mof")}},
      {"schema without methods", "", "schema",
       "lacks GetAutoDownloadSetting, SetAutoDownloadSetting, DownloadAll, "
       "GetAutoUpdateSetting, SetAutoUpdateSetting, RollbackAll,",
       {"--schema", schemas.PathOf("/few.mof")}},
      {"trace folder others may write",
       "mkdir -p " + std::string(logs) + " && chmod 0777 " + logs, "trace",
       "can be written by others without the sticky bit (mode 0777)"},
      {"trace log and journal others may read", "mkdir -p var/lib/qmxupdtmngr var/log/qmx && touch "
       "var/log/qmx/umprovider.log var/lib/qmxupdtmngr/journal.log && chmod 0604 var/*/q*/*.log",
       "service trace",
       "umprovider.log: mode 0604, others could read the passwords it holds; made 0600 now"},
      {"a kind the service refused at its last call",
       "mkdir -m 0700 -p var/log/qmx && umask 077 && printf '%s\\n' "
       "'T [1:2] CVELTRAX_UpdateManager::GetAutoDownloadSetting() ReceiveMessage length error' "
       "'T [1:1] CVELTRAX_UpdateManager::GetUpdateHistory() ReceiveMessage length error' "
       "'T [1:1] MSGID_CP_0006_F update service answered failure: kind=gtuphist result=0011' "
       "'T [1:2] MSGID_CP_0006_F update service answered failure: kind=gtatdnld result=0011' "
       "'T [1:2] MSGID_CP_0006_S update service answered success: kind=gtatdnld result=0000' "
       ">var/log/qmx/umprovider.log", "service",
       "at the last call of each: gtuphist (0011: a kind it does not know) -- a service older"},
      {"trace log a link", "mkdir -p " + std::string(logs) + " && ln -s other.log " + logs +
       "/umprovider.log && touch " + logs + "/other.log", "trace",
       "umprovider.log: refused: is a symbolic link"},
  };
  const std::regex link("(^|\n)(ok|FAILING) |\"link\":\""),
      failing("FAILING +([a-z]+)|\"link\":\"([a-z]+)\",\"ok\":false");
  for (const auto& c : cases) {
    TempRoot root;
    root.WriteSocketConfig(2000);
    root.WritePackageStatus(true);
    ASSERT_EQ(0, system(("cd " + root.dir() + "; " + c.setup).c_str())) << c.broken;
    ServiceProcess service(QMXUPDTMNGR_PATH, &root);
    if (c.peer == kService) service.Start();
    int listener = c.peer == kSilent     ? ListenUnix(root.SocketPath())
                   : c.peer == kStranger ? ListenUnixAs(root.SocketPath(), 65534)
                                         : -1;
    Args args = {QMX_CALL_PATH, "--check"};
    if (c.as_nobody) {
      args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult result = RunCommand({args, {{"QMX_ROOT", root.dir()}}, {"QMX_TRACE_LEVEL"}});
    if (listener >= 0) close(listener);
    std::string names;
    for (std::sregex_iterator it(result.out.begin(), result.out.end(), failing), end; it != end;
         ++it) names += (names.empty() ? "" : " ") + (*it)[1].str() + (*it)[2].str();
    EXPECT_EQ(c.failing, names) << c.broken << ": " << result.Describe();
    EXPECT_EQ(c.failing.empty() ? 0 : 1, result.exit_code) << c.broken;
    EXPECT_NE(std::string::npos, result.out.find(c.found)) << c.broken << ": " << result.out;
    EXPECT_EQ(std::string::npos, result.out.find("service's user")) << result.out;
    EXPECT_EQ(7, std::distance(std::sregex_iterator(result.out.begin(), result.out.end(), link), {}))
        << c.broken;
  }
}

}  // namespace
}  // namespace support
}  // namespace qmx
