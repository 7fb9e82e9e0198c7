// Each method end to end: the request it sends for its input, the replies it
// accepts, and what it makes of a reply body.

#include <string>
#include <vector>

#include "tests/provider/provider_fixture.h"

namespace qmx_test {
namespace {

using MethodsTest = ProviderFixture;
using qmx::testing::HostOperation;

const uint32_t kFailed = 0x80000001u;

TEST_F(MethodsTest, SendsTheInputAsItsParameterList) {
  struct Case {
    std::string method;
    std::vector<InputField> fields;
    std::string request;
  };
  const Case cases[] = {
      {"DownloadAll",
       {{"DownloadSetting", "WebSiteUrl", std::string("a;b")}},
       "0011exmndnld00000;a@@@@b;;;;;;;;;"},
      {"DownloadAll",
       {{"DownloadSetting", "DownloadType", -1},
        {"DownloadSetting", "ProxyPort", std::string("08080")},
        {"DownloadSetting", "ProxyPassword", std::string("pw")},
        {"DownloadSetting", "ExternalMediaPath", std::string("x@@@@y")}},
       "0019exmndnld0000-1;;;08080;;pw;;;;;x@@@@y"},
      {"SetAutoDownloadSetting",
       {{"DownloadSchedule", "IsAutoSetting", true}},
       "0011statdnld00001;0;;;;0;;;;;;;;;"},
      {"SetAutoDownloadSetting",
       {{"DownloadSchedule", "RepeatType", -1},
        {"DownloadSchedule", "DayOfWeek", std::string("a;b")},
        {"DownloadSetting", "CacheServerPassword", std::string("p;w")},
        {"DownloadSetting", "TempDriveLetter", std::string("E")}},
       "001Fstatdnld00000;-1;a@@@@b;;;0;;;;;;;;p@@@@w;E"},
      {"SetAutoUpdateSetting",
       {{"UpdateSchedule", "IsAutoSetting", true},
        {"UpdateSchedule", "RepeatType", 2147483647},
        {"UpdateSchedule", "DayOfWeek", std::string("a@@@@b")},
        {"UpdateSchedule", "Date", std::string("2024/01/31")},
        {"UpdateSchedule", "Time", std::string("03:00")}},
       "0024statupdt00001;2147483647;a@@@@b;2024/01/31;03:00"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.request);
    capture_->Clear();
    Reply("0000" + test.request.substr(4, 8) + "0000");
    EXPECT_EQ(Call(test.method, test.fields).returnValue(), 0u);
    EXPECT_EQ(transport_.Requests().back(), test.request);
    // The whole request is traced, password values included.
    EXPECT_TRUE(Traced(TRACE_DETAIL, Prefix(test.method) +
                                         " strSendMessage = " + test.request));
  }
}

// The reply rules that differ between methods.
TEST_F(MethodsTest, TakesEachReplyByItsMethodsRule) {
  struct Case {
    std::string method;
    std::string reply;
    uint32_t result;
  };
  const Case cases[] = {
      {"NoticeModuleUpdate", "0000mdulupdt0102", 0x102},
      {"NoticeModuleUpdate", "0000mdulupdt0000x", kFailed},
      {"DownloadAll", "0000exmndnld00A5", 0xA5},
      {"DownloadAll", "0000exmnupdt0000", kFailed},
      {"SetAutoDownloadSetting", "0000statdnld0000;", kFailed},
      {"SetAutoUpdateSetting", "0000statupdt0003", 3},
      {"SetAutoUpdateSetting", "0000statupdt00030", kFailed},
      {"GetAutoDownloadSetting", "0000gtatdnld0003", kFailed},
      {"GetAutoDownloadSetting", "0000gtatdnld0003x", 3},
      {"GetAutoUpdateSetting", "0000gtatupdt0000", kFailed},
      {"GetAutoUpdateSetting", "0000gtatupdt0002whatever", 2},
      {"UpdateAll", "0000exmnupdt00A1", kFailed},
      {"UpdateAll", "0000exmnupdt0001x", 1},
      {"UpdateAll", "0000exmnupdt00A1x", 0xA1},
      {"UpdateAll", "0000exmnrlbk000000000001", kFailed},
      {"RollbackAll", "0000exmnrlbk0001x", 1},
      {"GetQmxStatus", "0000gustatus00A5", 0xA5},
      {"GetQmxStatus", "0000gustatus00A5tail", 0xA5},
      {"GetQmxStatus", "0000gustatus0000", 0},
      {"GetQmxStatus", "0000gustatus000", kFailed},
      {"GetQmxStatus", "0000GUSTATUS0000", kFailed},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.method + " \"" + test.reply + "\"");
    Reply(test.reply);
    EXPECT_EQ(Call(test.method).returnValue(), test.result);
  }
}

TEST_F(MethodsTest, ReadsRebootFromEightHexDigits) {
  struct Case {
    std::string body;
    uint32_t result;
    bool stored;
    int reboot;
  };
  const Case cases[] = {
      {"00000001", 0, true, 1},
      {"0000000A", 0, true, 10},
      {"0000000a", 0, true, 10},
      {"FFFFFFFF", 0, true, 2147483647},
      {"zzzzzzzz", 0, true, 0},
      {"-0000010", 0, true, -16},
      {"0000001", kFailed, false, 0},
      {"000000001", kFailed, false, 0},
  };
  for (const char* method : {"UpdateAll", "RollbackAll"}) {
    const std::string kind = method == std::string("UpdateAll") ? "exmnupdt"
                                                                : "exmnrlbk";
    for (const Case& test : cases) {
      SCOPED_TRACE(std::string(method) + " body " + test.body);
      capture_->Clear();
      Reply("0000" + kind + "0000" + test.body);
      CallResult result = Call(method);
      EXPECT_EQ(result.returnValue(), test.result);
      ASSERT_NE(result.out(), nullptr);
      EXPECT_EQ(IsNull(result.out(), "Reboot"), !test.stored);
      if (test.stored) {
        EXPECT_EQ(ReadInt(result.out(), "Reboot"), test.reboot);
      }
      EXPECT_EQ(Traced(TRACE_ERROR, Prefix(method) + " Param length error"),
                !test.stored);
    }
  }
}

TEST_F(MethodsTest, StoresTheDownloadSettingsOfTheReply) {
  Reply("0000gtatdnld0000"
        "1;7x;Mon@@@@Tue;2024/01/31;03:00;-3;http://a;;08080;usr;p@@@@w;"
        "\\\\cache;cu;cp;E");
  CallResult result = Call("GetAutoDownloadSetting");
  EXPECT_EQ(result.returnValue(), 0u);
  ASSERT_NE(result.out(), nullptr);
  ObjectPtr schedule = ReadObject(result.out(), "DownloadSchedule");
  ObjectPtr settings = ReadObject(result.out(), "DownloadSetting");
  ASSERT_TRUE(schedule && settings);
  EXPECT_TRUE(ReadBool(schedule.get(), "IsAutoSetting"));
  EXPECT_EQ(ReadInt(schedule.get(), "RepeatType"), 7);
  EXPECT_EQ(ReadString(schedule.get(), "DayOfWeek"), "Mon;Tue");
  EXPECT_EQ(ReadString(schedule.get(), "Date"), "2024/01/31");
  EXPECT_EQ(ReadString(schedule.get(), "Time"), "03:00");
  EXPECT_EQ(ReadInt(settings.get(), "DownloadType"), -3);
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"WebSiteUrl", "http://a"}, {"ProxyAddress", ""},
      {"ProxyPort", "08080"},     {"ProxyUser", "usr"},
      {"ProxyPassword", "p;w"},   {"CacheServerPath", "\\\\cache"},
      {"CacheServerUser", "cu"},  {"CacheServerPassword", "cp"},
      {"TempDriveLetter", "E"},
  };
  for (const auto& [name, text] : texts) {
    EXPECT_EQ(ReadString(settings.get(), name), text) << name;
  }
  EXPECT_TRUE(Traced(TRACE_FUNCTION, Prefix("GetAutoDownloadSetting") + " [END]"));
}

// RepeatType reads as strtol would in base 10, saturated to 32 bits on
// every build.
TEST_F(MethodsTest, ReadsIntegersAsDecimalPrefixes) {
  struct Case {
    std::string text;
    int value;
  };
  const Case cases[] = {
      {"0", 0},
      {"abc", 0},
      {"", 0},
      {"7x", 7},
      {" -3", -3},
      {"+12", 12},
      {"2147483647", 2147483647},
      {"99999999999", 2147483647},
      {"-99999999999", -2147483647 - 1},
      {"99999999999999999999999", 2147483647},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE("\"" + test.text + "\"");
    Reply("0000gtatupdt00000;" + test.text + ";;;");
    CallResult result = Call("GetAutoUpdateSetting");
    EXPECT_EQ(result.returnValue(), 0u);
    ASSERT_NE(result.out(), nullptr);
    ObjectPtr schedule = ReadObject(result.out(), "UpdateSchedule");
    ASSERT_TRUE(schedule);
    EXPECT_EQ(ReadInt(schedule.get(), "RepeatType"), test.value);
    EXPECT_FALSE(ReadBool(schedule.get(), "IsAutoSetting"));
  }
}

// A schedule whose IsAutoSetting is not exactly "1" or "0" is refused before
// any of its properties is set, and nothing reaches the output.
TEST_F(MethodsTest, RejectsABooleanThatIsNotOneOrZero) {
  struct Method {
    std::string name;
    std::string kind;
    std::string rest;  // the values after IsAutoSetting
    std::string parameter;
  };
  const Method methods[] = {
      {"GetAutoUpdateSetting", "gtatupdt", ";5;;;", "UpdateSchedule"},
      {"GetAutoDownloadSetting", "gtatdnld", ";5;;;;0;;;;;;;;;",
       "DownloadSchedule"},
  };
  for (const Method& method : methods) {
    for (const char* text : {"true", " 1", "01", "", "2"}) {
      SCOPED_TRACE(method.name + " \"" + text + "\"");
      capture_->Clear();
      Reply("0000" + method.kind + "0000" + text + method.rest);
      int puts = 0;
      qmx::testing::FaultInjection faults;
      for (const char* property : {"IsAutoSetting", "RepeatType"}) {
        faults.Run(HostOperation::kPut, property, [&puts] { ++puts; });
      }
      CallResult result = Call(method.name);
      EXPECT_EQ(result.returnValue(), kFailed);
      EXPECT_EQ(puts, 0);
      EXPECT_TRUE(IsNull(result.out(), method.parameter));
      EXPECT_TRUE(Traced(TRACE_ERROR, Prefix(method.name) +
                                          " Param error IsAutoSetting 00000000"));
    }
  }
}

// A body with the wrong number of values is refused before any class is
// fetched.
TEST_F(MethodsTest, RejectsTheWrongNumberOfValues) {
  struct Case {
    std::string method;
    std::string kind;
    int values;
    std::string className;
  };
  const Case cases[] = {
      {"GetAutoDownloadSetting", "gtatdnld", 14, "Veltrax_DownloadSchedule"},
      {"GetAutoDownloadSetting", "gtatdnld", 16, "Veltrax_DownloadSchedule"},
      {"GetAutoUpdateSetting", "gtatupdt", 4, "Veltrax_UpdateSchedule"},
      {"GetAutoUpdateSetting", "gtatupdt", 6, "Veltrax_UpdateSchedule"},
      {"GetAutoUpdateSetting", "gtatupdt", 15, "Veltrax_UpdateSchedule"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.method + " " + std::to_string(test.values));
    capture_->Clear();
    Reply("0000" + test.kind + "0000" + "0" +
          std::string(test.values - 1, ';'));
    int fetched = 0;
    qmx::testing::FaultInjection faults;
    faults.Run(HostOperation::kGetObject, test.className,
               [&fetched] { ++fetched; });
    EXPECT_EQ(Call(test.method).returnValue(), kFailed);
    EXPECT_EQ(fetched, 0);
    EXPECT_TRUE(Traced(TRACE_ERROR, Prefix(test.method) + " ParamNum error"));
  }
}

TEST_F(MethodsTest, TracesTheStatusQueryInItsOwnWords) {
  struct Case {
    std::string reply;
    uint32_t result;
    std::string traced;  // after the signature
    int level;
  };
  const Case cases[] = {
      {"0000gustatus00A5", 0xA5, ", rc=00A5", TRACE_FUNCTION},
      {"0000gustatus%s%n", 0, ", rc=%s%n", TRACE_FUNCTION},
      {"0000gustatus000", kFailed, " Message length error (exp=16, res=15)",
       TRACE_ERROR},
      {"0000gustatuz0000", kFailed, " Message kind error (gustatuz)",
       TRACE_ERROR},
  };
  const std::string signature = kStatusSignature;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.reply);
    capture_->Clear();
    Reply(test.reply);
    EXPECT_EQ(Call("GetQmxStatus").returnValue(), test.result);
    EXPECT_TRUE(Traced(TRACE_FUNCTION, "[ENTER] " + signature));
    const std::string expected =
        test.level == TRACE_FUNCTION ? "[LEAVE] " + signature + test.traced
                                     : signature + test.traced;
    EXPECT_TRUE(Traced(test.level, expected)) << expected;
    EXPECT_EQ(TracedContaining("[LEAVE]"), test.level == TRACE_FUNCTION);
    // The status query writes no message traces.
    EXPECT_FALSE(TracedContaining("strSendMessage"));
    EXPECT_FALSE(TracedContaining("strReceiveMessage"));
  }
}

}  // namespace
}  // namespace qmx_test
