// The message header, the parameter-list splitter and the checks every
// request cycle makes of a reply.

#include <chrono>
#include <list>
#include <string>
#include <vector>

#include "tests/provider/provider_fixture.h"

namespace qmx_test {
namespace {

using MessageCycleTest = ProviderFixture;
using qmx::testing::Exchange;

TEST_F(MessageCycleTest, LengthFieldStatesTheListInUpperCaseHex) {
  // "0;0;" + day + ";;": the day's text makes up the rest of the length.
  struct Case {
    std::string day;
    std::string lengthField;
  };
  const Case cases[] = {
      {std::string(249, 'd'), "00FF"},
      {std::string(250, 'd'), "0100"},
      {"a;b", "000C"},  // the escaped text "a@@@@b" is what counts
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.lengthField);
    Reply("0000statupdt0000");
    CallResult result = Call("SetAutoUpdateSetting",
                             {{"UpdateSchedule", "DayOfWeek", test.day}});
    EXPECT_EQ(result.returnValue(), 0u);
    const std::string request = transport_.Requests().back();
    EXPECT_EQ(request.substr(0, 16), test.lengthField + "statupdt0000");
    EXPECT_EQ(request.size() - 16, std::stoul(test.lengthField, nullptr, 16));
  }
}

TEST_F(MessageCycleTest, RefusesAListItsLengthFieldCannotState) {
  // "0;0;" + day + ";;" of 0xFFFF characters still fits.
  Reply("0000statupdt0000");
  std::vector<InputField> fields = {
      {"UpdateSchedule", "DayOfWeek", std::string(0xFFFF - 6, 'd')}};
  EXPECT_EQ(Call("SetAutoUpdateSetting", fields).returnValue(), 0u);
  const std::string request = transport_.Requests().back();
  EXPECT_EQ(request.substr(0, 4), "FFFF");
  // Long lines are traced whole.
  EXPECT_TRUE(Traced(TRACE_DETAIL, Prefix("SetAutoUpdateSetting") +
                                       " strSendMessage = " + request));

  fields[0].value = std::string(0xFFFF - 5, 'd');
  EXPECT_EQ(Call("SetAutoUpdateSetting", fields).returnValue(), 0x80000001u);
  EXPECT_EQ(transport_.Constructed(), 1);
}

// Every line of one cycle, in order: catalogue lines by their id.
TEST_F(MessageCycleTest, TracesACycleInOrder) {
  struct Case {
    std::string method;
    int sendResult;
    int recvResult;
    std::vector<std::string> lines;
  };
  const std::string reboot = Prefix("ExecuteReboot") + " ";
  const std::string install = Prefix("CheckUmInstall") + " ";
  const std::string open = Prefix("SocketClientInitialize") + " ";
  const std::string close = Prefix("SocketClientDeinitialize") + " ";
  const std::string status = std::string(kStatusSignature);
  const std::vector<std::string> opening = {
      reboot + "[START]",
      install + "[START]",
      install + "updatemanager install version:[1.0]",
      install + "[END]",
      open + "[START]",
      open + "[END]",
      reboot + "strSendMessage = 0000exreboot0000",
      "MSGID_CP_0005_S",
  };
  auto cycle = [&opening](std::vector<std::string> rest) {
    std::vector<std::string> lines = opening;
    lines.insert(lines.end(), rest.begin(), rest.end());
    return lines;
  };
  const Case cases[] = {
      {"ExecuteReboot", 0, Exchange::kReplyLength,
       cycle({close + "[START]", close + "[END]",
              reboot + "ReceiveMessage is succeeded",
              reboot + "strReceiveMessage = 0000exreboot0000",
              "MSGID_CP_0006_S", reboot + "[END]"})},
      {"ExecuteReboot", -1, Exchange::kReplyLength,
       cycle({Prefix("SendMessage") + " Send is failed", close + "[START]",
              close + "[END]", reboot + "SendMessage is failed"})},
      {"ExecuteReboot", 0, -1,
       cycle({Prefix("ReceiveMessage") + " Receive is failed",
              close + "[START]", close + "[END]",
              reboot + "ReceiveMessage is failed"})},
      {"GetQmxStatus", 0, Exchange::kReplyLength,
       {"[ENTER] " + status, open + "[START]", open + "[END]",
        close + "[START]", close + "[END]",
        "[LEAVE] " + status + ", rc=0000"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.lines.back());
    Exchange exchange;
    exchange.sendResult = test.sendResult;
    exchange.recvResult = test.recvResult;
    exchange.reply = test.method == "GetQmxStatus" ? "0000gustatus0000"
                                                   : "0000exreboot0000";
    transport_.Push(exchange);
    capture_->Clear();
    if (test.method == "GetQmxStatus") {
      core()->GetQmxStatus(nullptr, nullptr);
    } else {
      core()->ExecuteReboot(nullptr, nullptr);
    }
    std::vector<std::string> lines;
    for (const qmx::testing::TraceLine& line : capture_->Lines()) {
      lines.push_back(line.level == 0 ? line.messageId : line.text);
    }
    EXPECT_EQ(lines, test.lines);
  }
}

// How ExecuteReboot, a kind without a body, takes each reply.
TEST_F(MessageCycleTest, ChecksLengthThenKindThenCode) {
  struct Case {
    std::string reply;
    uint32_t result;
    std::string error;  // level-2 text after the prefix; "" for none
  };
  const Case cases[] = {
      {"0000exreboot0000", 0, ""},
      {"0000exreboot00a5", 0xA5, ""},    // lower-case hex digits
      {"0000exreboot00A5", 0xA5, ""},
      {"0000exreboot0102", 0x102, ""},
      {"0000exreboot1002", 0x1002, ""},  // the service's code, as it is
      {"0000exrebootFFFF", 0xFFFF, ""},
      {"0000exreboot-001", 0xFFFFFFFF, ""},  // the same on both word sizes
      {"0000exreboot xyz", 0, ""},       // no leading hex digit
      {"FFFFexreboot0000", 0, ""},       // the length field is never read
      {"0000EXREBOOT0000", 0x80000001, "MessageKind different"},
      {"0000exreboox0000", 0x80000001, "MessageKind different"},
      {"0000gtatupdt0000x", 0x80000001, "ReceiveMessage length error"},
      {"0000exreboot0000x", 0x80000001, "ReceiveMessage length error"},
      {"0000exreboot000", 0x80000001, "ReceiveMessage length error"},
      {"", 0x80000001, "ReceiveMessage length error"},
  };
  const std::string prefix = Prefix("ExecuteReboot") + " ";
  for (const Case& test : cases) {
    SCOPED_TRACE("reply \"" + test.reply + "\"");
    capture_->Clear();
    Reply(test.reply);
    EXPECT_EQ(Call("ExecuteReboot").returnValue(), test.result);
    EXPECT_TRUE(Traced(TRACE_DETAIL, prefix + "ReceiveMessage is succeeded"));
    EXPECT_TRUE(Traced(TRACE_DETAIL, prefix + "strReceiveMessage = " + test.reply));
    if (!test.error.empty()) {
      EXPECT_TRUE(Traced(TRACE_ERROR, prefix + test.error));
    }
    bool succeeded = test.error.empty() && test.reply.substr(12) == "0000";
    EXPECT_EQ(Traced(TRACE_FUNCTION, prefix + "[END]"), succeeded);
    EXPECT_EQ(TracedContaining(prefix + "MessageKind different"),
              test.error == "MessageKind different");
  }
}

// The catalogue lines of a cycle: the request's kind going out, then the
// reply's kind and code coming back.
TEST_F(MessageCycleTest, WritesTheMessageIds) {
  struct Case {
    std::string reply;
    std::string id;
  };
  const Case cases[] = {
      {"0000mdulupdt0000", "MSGID_CP_0006_S"},
      {"0000mdulupdtxyz1", "MSGID_CP_0006_F"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.reply);
    capture_->Clear();
    Reply(test.reply);
    Call("NoticeModuleUpdate");
    std::vector<std::pair<std::string, std::vector<std::string>>> ids;
    for (const qmx::testing::TraceLine& line : capture_->Lines()) {
      if (!line.messageId.empty()) ids.push_back({line.messageId, line.inserts});
    }
    const std::string code = test.reply.substr(12);
    EXPECT_EQ(ids, (std::vector<std::pair<std::string, std::vector<std::string>>>{
                       {"MSGID_CP_0005_S", {"mdulupdt"}},
                       {test.id, {"mdulupdt", code}}}));
  }
}

TEST_F(MessageCycleTest, SplitsParameterLists) {
  struct Case {
    std::string text;
    std::list<std::string> items;
  };
  const Case cases[] = {
      {"", {""}},
      {";;", {"", "", ""}},
      {"@@@@", {";"}},
      {"a@@@@b;c", {"a;b", "c"}},
      {"@@@;@@@@@", {"@@@", ";@"}},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(core()->GetParameter(test.text), test.items) << test.text;
  }
}

TEST_F(MessageCycleTest, TracesEachItemAsItIsSplit) {
  core()->GetParameter("a@@@@b;c@@@@d");
  // Items before a separator as received, the last one unescaped.
  const std::string prefix = Prefix("GetParameter") + " ";
  EXPECT_EQ(capture_->Texts(), (std::vector<std::string>{
                                   prefix + "[START]", prefix + "Param = a@@@@b",
                                   prefix + "Param = c;d", prefix + "[END]"}));
}

TEST_F(MessageCycleTest, SplitsAFullBufferOfSeparators) {
  // Tracing four million items would measure the capture, not the split.
  CaptureLevels(TRACE_ERROR);
  const std::string text(0x400000 - 17, ';');
  auto start = std::chrono::steady_clock::now();
  std::list<std::string> items = core()->GetParameter(text);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(items.size(), text.size() + 1);
  RecordProperty(
      "split_ms",
      static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(elapsed)
              .count()));
}

}  // namespace
}  // namespace qmx_test
