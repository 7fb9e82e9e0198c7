// The request cycle of every method: the checks it makes of a reply and in
// which order, what it makes of a reply body, where it ends when the host,
// the package database or the link fails it, the traces of a whole call,
// and the limit of the length field. (The benchmark's smoke run splits a
// receive buffer full of separators, which only a one-pass splitter does
// in time.)

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "link/CSocketClient.h"
#include "tests/provider/provider_fixture.h"

// While set, arrays the size of the receive buffer cannot be had, as on a
// machine short of memory.
static std::atomic<bool> g_refuseReceiveBuffers{false};

void* operator new[](std::size_t size) {
  bool receiveBuffer = size >= static_cast<std::size_t>(CSocketClient::kReceiveBufferSize);
  void* memory = g_refuseReceiveBuffers && receiveBuffer ? nullptr : std::malloc(size + 1);
  if (memory == nullptr) throw std::bad_alloc();
  // Not the zeros of fresh memory: what a transport leaves unwritten is no
  // empty reply by chance.
  if (receiveBuffer) static_cast<char*>(memory)[0] = '?';
  return memory;
}

void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace qmx_test {
namespace {

using MessageCycleTest = ProviderTest;
using qmx::support::Sample;
using qmx::support::SampleOf;
using qmx::support::Samples;
using qmx::testing::HostOperation;

// Each sample's method sends its request and shows its reply's outputs as
// qmx-call does; then each method sends "0000" + kind + "0000" unless given,
// and checks the reply's length, then its kind, then its code, then its body.
// reply "-": the call ends before the link, nothing is sent; link: how the
// transport takes the request and gives the reply (recvResult kNoBuffer: the
// receive buffer cannot be had). The link hands on what it received up to
// the first NUL, and it is traced whole.
// traced: after the prefix, "[END]" on success, else the error; or a
// catalogue line; or the status query's leave line from ", rc=" on.
TEST_F(MessageCycleTest, SendsEachRequestAndTakesTheReplyByItsRules) {
  struct Case { std::string method, reply; uint32_t result; std::string traced, output = "";
                Fields fields = {}; std::string request = ""; qmx::testing::Exchange link = {}; };
  const int kNoBuffer = -100;
  const std::string length = "ReceiveMessage length error";
  const std::string boolean = "Param error IsAutoSetting 00000000";
  const std::string getAuto = SampleOf("GetAutoUpdateSetting").reply;
  const std::string getDownload = SampleOf("GetAutoDownloadSetting").reply;
  const Sample& setAuto = SampleOf("SetAutoUpdateSetting");
  const std::string downloadSchedule = Member(SampleOf("GetAutoDownloadSetting").output, "DownloadSchedule");
  const std::string longDay(0xFFFF - 6, 'd');  // "0;0;" + it + ";;" just fits the length field
  // reply with its first value replaced by first, with one value more, one less.
  auto first = [](const std::string& reply, const std::string& first) {
    return reply.substr(0, 16) + first + reply.substr(reply.find(';'));
  };
  auto fewer = [](const std::string& reply) { return reply.substr(0, reply.rfind(';')); };
  std::vector<Case> cases;
  for (const Sample& sample : Samples()) {
    if (sample.request.empty()) continue;
    cases.push_back({sample.method, sample.reply, 0, sample.method == "GetQmxStatus" ? ", rc=0000" : "[END]",
                     sample.output, Fields(sample.inputs.begin(), sample.inputs.end()), sample.request});
  }
  cases.insert(cases.end(), {
      {"SetAutoUpdateSetting", "0000statupdt0003", 3, "MSGID_CP_0006_F statupdt 0003", "",
       Fields(setAuto.inputs.begin(), setAuto.inputs.end()), setAuto.request},
      {"SetAutoUpdateSetting", "0000statupdt0000", 0, "[END]", "",
       {{"UpdateSchedule.DayOfWeek", longDay}}, "FFFFstatupdt00000;0;" + longDay + ";;"},
      {"SetAutoUpdateSetting", "-", kFailed, "ParamList length error 65536", "",
       {{"UpdateSchedule.DayOfWeek", longDay + "d"}}},
      {"ExecuteReboot", "FFFFexreboot0000", 0, "[END]"},  // the length field is never read
      {"ExecuteReboot", "0000exreboot00a5", 0xA5, "MSGID_CP_0006_F exreboot 00a5"},
      {"ExecuteReboot", "0000exreboot-001", 0xFFFFFFFF, "MSGID_CP_0006_F exreboot -001"},
      {"ExecuteReboot", "0000exreboot xyz", 0, "MSGID_CP_0006_F exreboot  xyz"},
      {"ExecuteReboot", "0000EXREBOOT0000", kFailed, "MessageKind different"},
      {"ExecuteReboot", "0000gtatupdt0000x", kFailed, length},
      // The link: a transport that writes nothing, results other than -1 that
      // are no failure, a NUL, a reply as long as the buffer takes, no buffer.
      {"ExecuteReboot", "", kFailed, length, "", {}, "", {0, 0, "", nullptr, true}},
      {"ExecuteReboot", "0000exreboot0000", 0, "[END]", "", {}, "", {-5, -5, "", nullptr}},
      {"ExecuteReboot", std::string("0000exreboot0000\0tail", 21), 0, "[END]"},
      {"ExecuteReboot", "0000exreboot0000" + std::string(CSocketClient::kReceiveBufferSize - 17, 'r'),
       kFailed, length},
      {"ExecuteReboot", "0000exreboot0000", 0x1001, "ReceiveMessage is failed", "", {}, "",
       {0, kNoBuffer, "", nullptr}},
      {"GetAutoUpdateSetting", "0000gtatupdt0002whatever", 2, "MSGID_CP_0006_F gtatupdt 0002"},
      // A service that does not know the kind answers a bare header: too
      // short, but its code is traced.
      {"GetAutoUpdateSetting", "0000gtatupdt0011", kFailed, "MSGID_CP_0006_F gtatupdt 0011"},
      {"GetAutoUpdateSetting", fewer(getAuto), kFailed, "ParamNum error"},
      {"GetAutoUpdateSetting", getAuto + ";", kFailed, "ParamNum error"},
      {"GetAutoUpdateSetting", first(getAuto, "01"), kFailed, boolean},
      {"GetAutoUpdateSetting", first(getAuto, ""), kFailed, boolean},
      {"GetAutoDownloadSetting", first(getDownload, " 1"), kFailed, boolean},
      {"UpdateAll", "0000exmnupdt00A1", kFailed, length},
      {"UpdateAll", "0000exmnupdt00A1x", 0xA1, "MSGID_CP_0006_F exmnupdt 00A1"},
      {"UpdateAll", "0000exmnrlbk000000000001", kFailed, "MessageKind different"},
      {"UpdateAll", "0000exmnupdt00000000001", kFailed, "Param length error"},
      {"RollbackAll", "0000exmnrlbk0000000000001", kFailed, "Param length error"},
      {"UpdateAll", "0000exmnupdt0000FFFFFFFF", 0, "[END]", "\"Reboot\":2147483647"},
      {"UpdateAll", "0000exmnupdt0000zzzzzzzz", 0, "[END]", "\"Reboot\":0"},
      {"RollbackAll", "0000exmnrlbk0000-000001A", 0, "[END]", "\"Reboot\":-26"},
      {"GetAutoUpdateSetting", "0000gtatupdt00000; -3;;;", 0, "[END]",
       R"("UpdateSchedule":{"IsAutoSetting":false,"RepeatType":-3,"DayOfWeek":"","Date":"","Time":""})"},
      {"GetAutoUpdateSetting", "0000gtatupdt00000;99999999999;;;", 0, "[END]",
       R"("UpdateSchedule":{"IsAutoSetting":false,"RepeatType":2147483647,"DayOfWeek":"","Date":"","Time":""})"},
      {"GetAutoUpdateSetting", "0000gtatupdt00000;-99999999999;;;", 0, "[END]",
       R"("UpdateSchedule":{"IsAutoSetting":false,"RepeatType":-2147483648,"DayOfWeek":"","Date":"","Time":""})"},
      // A host step that fails, traced "<step> is failed <name> <status>":
      // the input is read before the link, the output filled after the reply.
      {"SetAutoUpdateSetting", "-", kFailed, "GetInParam is failed IsAutoSetting 8004abcd"},
      {"SetAutoDownloadSetting", "-", kFailed, "GetInParam is failed DownloadSetting 8004abcd"},
      {"SetAutoDownloadSetting", "-", kFailed, "GetInParam is failed RepeatType 8004abcd"},
      {"DownloadAll", "-", kFailed, "GetInParam is failed ExternalMediaPath 8004abcd"},
      {"GetAutoUpdateSetting", getAuto, kFailed,
       "GetObject is failed Veltrax_UpdateSchedule 8004abcd"},
      {"GetAutoUpdateSetting", getAuto, kFailed,
       "SpawnInstance is failed Veltrax_UpdateSchedule 8004abcd"},
      // A host that reports success and gives no object.
      {"GetAutoUpdateSetting", getAuto, kFailed, "GetObject is failed Veltrax_UpdateSchedule 00000001"},
      {"GetAutoUpdateSetting", getAuto, kFailed,
       "SpawnInstance is failed Veltrax_UpdateSchedule 00000001"},
      {"GetAutoUpdateSetting", getAuto, kFailed, "SetOutParam is failed Time 8004abcd"},
      {"GetAutoDownloadSetting", getDownload, kFailed,
       "GetObject is failed Veltrax_DownloadSetting 8004abcd", downloadSchedule},
      {"GetAutoDownloadSetting", getDownload, kFailed,
       "SetOutParam is failed DownloadSetting 8004abcd", downloadSchedule},
      {"UpdateAll", "0000exmnupdt000000000001", kFailed, "SetOutParam is failed Reboot 8004abcd"},
      {"GetQmxStatus", "0000gustatus00A5tail", 0xA5, ", rc=00A5"},
      {"GetQmxStatus", "0000gustatus%s%n", 0, ", rc=%s%n"},
      {"GetQmxStatus", "0000gustatus000", kFailed, "Message length error (exp=16, res=15)"},
      {"GetQmxStatus", "0000GUSTATUS0000", kFailed, "Message kind error (GUSTATUS)"},
      // Last: its trace lines are looked at after the loop.
      {"GetAutoUpdateSetting", "0000gtatupdt00001;0;a@@@@b;@@@;@@@@@", 0, "[END]",
       R"("UpdateSchedule":{"IsAutoSetting":true,"RepeatType":0,"DayOfWeek":"a;b","Date":"@@@","Time":";@"})"},
  });
  // The host steps a row can fail, by the name they are traced with.
  const std::map<std::string, HostOperation> steps = {
      {"GetInParam", HostOperation::kGet}, {"GetObject", HostOperation::kGetObject},
      {"SpawnInstance", HostOperation::kSpawnInstance}, {"SetOutParam", HostOperation::kPut}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.method + " \"" + test.reply + "\" " + test.traced);
    capture_->Clear();
    const bool sends = test.reply != "-";
    const size_t sent = transport_.Requests().size();
    qmx::testing::Exchange link = test.link;
    link.reply = test.reply;
    g_refuseReceiveBuffers = link.recvResult == kNoBuffer;  // refused before the receive
    if (sends) transport_.Push(link);
    qmx::testing::FaultInjection faults;
    std::smatch step;  // an unusual status, so that the trace proves it carries the host's
    if (std::regex_match(test.traced, step, std::regex(R"((\w+) is failed (\w+) ([0-9a-f]{8}))"))) {
      faults.Fail(steps.at(step[1]), step[2], static_cast<HRESULT>(std::stoul(step[3], nullptr, 16)));
    }
    CallResult result = Call(test.method, test.fields);
    EXPECT_EQ(result.statuses(), std::vector<HRESULT>{WBEM_S_NO_ERROR});
    EXPECT_EQ(result.returnValue(), test.result);
    EXPECT_EQ(Outputs(result, test.method), test.output);
    const std::string prefix = Prefix(test.method);
    const std::string request =
        test.request.empty() ? "0000" + KindOf(test.method) + "0000" : test.request;
    const std::vector<std::string> requests = transport_.Requests();
    EXPECT_EQ(requests.size() == sent ? "-" : requests.back(), sends ? request : "-");
    // The whole request is traced, passwords included; not by the status query.
    EXPECT_EQ(Traced(TRACE_DETAIL, prefix + "strSendMessage = " + request),
              sends && test.method != "GetQmxStatus");
    EXPECT_EQ(Traced(TRACE_DETAIL, prefix + "strReceiveMessage = " +
                                       test.reply.substr(0, test.reply.find('\0'))),
              sends && test.method != "GetQmxStatus" && test.result != 0x1001);
    EXPECT_EQ(Traced(TRACE_ERROR, "bool CSocketClient::Receive(std::string*) bad_alloc error"),
              test.link.recvResult == kNoBuffer);
    // A catalogue line as it is, the status query's leave line whole, any
    // other after the prefix.
    const bool leave = test.traced.rfind(", rc=", 0) == 0;
    const std::string traced = test.traced.rfind("MSGID", 0) == 0 ? test.traced
                               : leave ? "[LEAVE] " + prefix.substr(0, prefix.size() - 1) + test.traced
                                       : prefix + test.traced;
    EXPECT_TRUE(Traced(leave || test.traced == "[END]" ? TRACE_FUNCTION : TRACE_ERROR, traced));
    EXPECT_EQ(Traced(TRACE_FUNCTION, prefix + "[END]"), test.traced == "[END]");
  }
  EXPECT_EQ(transport_.LastComponentName(), "umprovider");
  EXPECT_EQ(transport_.LastConfigPath(), "/opt/veltrax/qmx/um/SocketConfig.ini");
  // The splitter's lines: items before a separator as received, the last
  // one unescaped.
  const std::string split = Prefix("GetParameter");
  std::vector<std::string> lines;
  for (const std::string& line : Texts()) {
    if (line.rfind(split, 0) == 0) lines.push_back(line.substr(split.size()));
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"[START]", "Param = 1", "Param = 0", "Param = a@@@@b",
                                             "Param = @@@", "Param = ;@", "[END]"}));
}

// Every method the schema declares, each with the kind of its request in the
// tests' table, ends at the step that fails: a service that is not installed
// (checked on every call, not by the status query, which then finds no
// reply), a failed send, a failed receive, and a link that another cycle
// holds: that cycle still completes, and no refused call closes its link.
// The status query has results and texts of its own.
TEST_F(MessageCycleTest, EndsEveryMethodAtTheFailedStep) {
  // step: the failed step's own line, at the level of the operation's;
  // sends: the requests of each call that reaches the link.
  struct Case { std::function<void()> arrange; uint32_t result, statusResult; int level;
                std::string step, traced, statusTraced; size_t sends; bool held = false; };
  const std::string refused = "SocketClientInitialize is failed";
  const Case cases[] = {
      {[this] { transport_.Push({-1, 0, "", nullptr}); }, 0x1001, 0x1001, TRACE_ERROR,
       Prefix("SendMessage") + "Send is failed", "SendMessage is failed", "send failed", 1},
      {[this] { transport_.Push({0, -1, "", nullptr}); }, 0x1001, kFailed, TRACE_ERROR,
       Prefix("ReceiveMessage") + "Receive is failed", "ReceiveMessage is failed", "recv failed",
       1},
      {[] {}, 0x1002, 0x1002, TRACE_ERROR, Prefix("SocketClientInitialize") +
       "socket competition error", refused, refused, 0, true},
      {[this] { packages_.Remove("qmxupdtmngr"); }, 0x1003, 0x1001, TRACE_WARNING,
       Prefix("CheckUmInstall") + "updatemanager not installed. package version is empty.",
       "CheckUmInstall false", "send failed", 0},
  };
  std::vector<std::string> methods;  // those that send
  for (const Sample& sample : Samples()) {
    if (!sample.request.empty()) methods.push_back(sample.method);
  }
  for (const Case& test : cases) {
    auto callEach = [&] {
      for (const std::string& method : methods) {
        SCOPED_TRACE(method + " " + test.traced);
        test.arrange();
        size_t sent = transport_.Requests().size();
        bool status = method == "GetQmxStatus";
        EXPECT_EQ(Call(method).returnValue(), status ? test.statusResult : test.result);
        const std::string traced = Prefix(method) + (status ? test.statusTraced : test.traced);
        EXPECT_TRUE(Traced(status ? TRACE_ERROR : test.level, traced));
        const std::vector<std::string> requests = transport_.Requests();
        // The operation's last line comes after the link has closed, or after
        // the step that refused the call.
        const std::string before = requests.size() > sent ? "SocketClientDeinitialize"
                                   : test.held            ? "SocketClientInitialize"
                                                          : "CheckUmInstall";
        const std::vector<std::string> texts = Texts();
        EXPECT_EQ(std::vector<std::string>(texts.end() - 4, texts.end() - 2),
                  (std::vector<std::string>{Prefix(before) + "[END]", traced}));
        EXPECT_EQ(requests.size() - sent, status ? 1 - test.held : test.sends);
        EXPECT_EQ(requests.size() == sent ? KindOf(method) : requests.back().substr(4, 8),
                  KindOf(method));
      }
    };
    capture_->Clear();
    if (test.held) {
      transport_.Push({0, kReplyLength, "0000exreboot0000", callEach});
      EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0u);
    } else {
      callEach();
    }
    EXPECT_TRUE(Traced(test.level, test.step));
  }
}

// Every line of a call, in order: the dispatcher's, the operation's, the
// install check's, the link's, the catalogue's, and when the provider lets go
// of objects: the input objects once the service has taken the request, the
// schedule first; the dispatcher's at the end, the output instance first.
TEST_F(MessageCycleTest, TracesACallInOrder) {
  const std::string d = "CVELTRAX_UpdateManager::ExecMethodAsync";
  const std::string w = Prefix("SetAutoDownloadSetting");
  const std::string i = Prefix("CheckUmInstall");
  const std::string open = Prefix("SocketClientInitialize");
  const std::string close = Prefix("SocketClientDeinitialize");
  const std::string status = Prefix("GetQmxStatus").substr(0, Prefix("GetQmxStatus").size() - 1);
  const std::string m = "Release VELTRAX_UpdateManager.SetAutoDownloadSetting out";
  Reply("0000gustatus0a0F");  // its code passed on as it is
  Call("GetQmxStatus");
  EXPECT_EQ(Texts(), (std::vector<std::string>{
      d + "() [START]", d + "() MethodName = GetQmxStatus", "[ENTER] " + status,
      open + "[START]", open + "[END]", close + "[START]", close + "[END]",
      "[LEAVE] " + status + ", rc=0a0F", d + " mr=0x00000a0f", d + "() [END]"}));
  capture_->Clear();
  RecordReleases();
  const Sample& set = SampleOf("SetAutoDownloadSetting");
  Reply(set.reply);
  CallResult result = Call(set.method, Fields(set.inputs.begin(), set.inputs.end()));
  const std::vector<std::string> texts = Texts();  // the input's making and end too
  auto from = std::find(texts.begin(), texts.end(), d + "() [START]");
  EXPECT_EQ(std::vector<std::string>(from, std::find(from, texts.end(), d + "() [END]")),
            (std::vector<std::string>{
      d + "() [START]", d + "() MethodName = SetAutoDownloadSetting", w + "[START]", i + "[START]",
      i + "updatemanager install version:[1.0]", i + "[END]", open + "[START]", open + "[END]",
      w + "strSendMessage = " + set.request, "MSGID_CP_0005_S statdnld",
      close + "[START]", close + "[END]", w + "ReceiveMessage is succeeded",
      w + "strReceiveMessage = " + set.reply, "MSGID_CP_0006_S statdnld 0000",
      "Release Veltrax_DownloadSchedule instance", "Release Veltrax_DownloadSetting instance",
      w + "[END]", m + " instance", m, "Release VELTRAX_UpdateManager", d + " mr=0x00000000"}));
}

// The link is given back only once its client and transport are gone: a
// call made while the transport closes finds the link still held.
TEST_F(MessageCycleTest, GivesTheLinkBackOnlyOnceItsTransportIsGone) {
  uint32_t during = 0;
  transport_.Push({0, qmx::testing::Exchange::kReplyLength, "0000exreboot0000", nullptr, false,
                   [&] { during = Call("ExecuteReboot").returnValue(); }});
  EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0u);
  EXPECT_EQ(during, 0x1002u);
  EXPECT_EQ(transport_.MostAlive(), 1);
}

}  // namespace
}  // namespace qmx_test
