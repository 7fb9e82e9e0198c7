#include "service/request_handler.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "service/protocol.h"
#include "service/service_state.h"

namespace qmx {
namespace service {
namespace {

std::string Request(const std::string& kind, const std::string& body = "") {
  return Hex4(static_cast<uint16_t>(body.size())) + kind + "0000" + body;
}

const std::vector<std::string> kSchedule = {"1", "2", "Monday", "2024/01/31",
                                            "03:00"};

// Remembers saves and journal lines; can be told to fail.
class Recorder : public SettingsStore, public ActionJournal {
 public:
  bool Save(const ServiceSettings& settings, std::string*) override {
    saved.push_back(settings);
    return !fail;
  }
  bool Record(const std::string& kind, const std::vector<std::string>& params,
              std::string*) override {
    lines.push_back(kind);
    for (const std::string& param : params) lines.back() += " " + param;
    return !fail;
  }
  bool fail = false;
  std::vector<ServiceSettings> saved;
  std::vector<std::string> lines;
};

class HandlerTest : public ::testing::Test {
 protected:
  Reply Send(const std::string& request) {
    return HandleRequest(request, state_);
  }
  Recorder recorder_;
  ServiceState state_{ServiceSettings::Defaults(), &recorder_, &recorder_};
};

TEST_F(HandlerTest, AnswersEachKind) {
  struct Case {
    std::string request, code, body, journal;
  };
  const Case cases[] = {
      {Request("gustatus"), "0000", "", ""},
      {Request("gtatdnld"), "0000", "0;0;;;;0;;;;;;;;;", ""},
      {Request("gtatupdt"), "0000", "0;0;;;", ""},
      {Request("exreboot"), "0000", "", "exreboot"},
      {Request("mdulupdt"), "0000", "", "mdulupdt"},
      {Request("exmnupdt"), "0000", "00000000", "exmnupdt Reboot=00000000"},
      {Request("exmnrlbk"), "0000", "00000000", "exmnrlbk Reboot=00000000"},
      {Request("exmndnld", "2;http://u@@@@x;p;8080;;pw;;;;T;/m"), "0000", "",
       "exmndnld DownloadType=2 WebSiteUrl=http://u;x ProxyAddress=p "
       "ProxyPort=8080 ProxyUser= ProxyPassword=pw CacheServerPath= "
       "CacheServerUser= CacheServerPassword= TempDriveLetter=T "
       "ExternalMediaPath=/m"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    recorder_.lines.clear();
    Reply reply = Send(c.request);
    std::string kind = c.request.substr(4, 8);
    EXPECT_EQ(EncodeReply(reply),
              Hex4(static_cast<uint16_t>(c.body.size())) + kind + c.code +
                  c.body);
    std::vector<std::string> journal;
    if (!c.journal.empty()) journal.push_back(c.journal);
    EXPECT_EQ(recorder_.lines, journal);
  }
}

TEST_F(HandlerTest, SetIsStoredSavedAndReadBack) {
  std::vector<std::string> download = {
      "1", "007", "Sun", "d", "t", "-2147483648", "http://a;b", "proxy",
      "3128", "user", "p@@@@ss;;", "", "", "", "C:"};
  ASSERT_EQ(Send(Request("statdnld", EncodeValues(download))).code, kOk);
  ASSERT_EQ(Send(Request("statupdt", EncodeValues(kSchedule))).code, kOk);

  download[1] = "7";  // integers come back in "%d" form
  download[10] = "p;ss;;";  // "@@@@" inside a value is the wire's ";"
  EXPECT_EQ(DecodeValues(Send(Request("gtatdnld")).body), download);
  EXPECT_EQ(Send(Request("gtatupdt")).body, EncodeValues(kSchedule));
  ASSERT_EQ(recorder_.saved.size(), 2u);
  EXPECT_EQ(recorder_.saved.back(), state_.Get());
}

TEST_F(HandlerTest, BadRequestsGetTheirCodeAndChangeNothing) {
  auto schedule_with = [](size_t index, const std::string& value) {
    std::vector<std::string> values = kSchedule;
    values[index] = value;
    return Request("statupdt", EncodeValues(values));
  };
  struct Case {
    std::string request;
    uint16_t code;
    std::string echoed;
  };
  const Case cases[] = {
      {"", kMalformedHeader, "????????"},
      {"0000gustatus000", kMalformedHeader, "gustatus"},
      {"0000Gustatus0000", kMalformedHeader, "Gustatus"},
      {"000agustatus0000", kMalformedHeader, "gustatus"},
      {"0000gustatus0001", kMalformedHeader, "gustatus"},
      {std::string("0000gus\0atus0000", 16), kMalformedHeader, "????????"},
      {"0000gustatux0000", kUnknownKind, "gustatux"},
      {"0001gustatus0000", kLengthMismatch, "gustatus"},
      {"0000statupdt00001;0;;;", kLengthMismatch, "statupdt"},
      {Request("gustatus", "x"), kWrongValueCount, "gustatus"},
      {Request("statupdt", "1;0;;"), kWrongValueCount, "statupdt"},
      {Request("statupdt", "1;0;;;;"), kWrongValueCount, "statupdt"},
      {Request("statupdt"), kWrongValueCount, "statupdt"},
      {schedule_with(0, "2"), kBadBoolean, "statupdt"},
      {schedule_with(0, "true"), kBadBoolean, "statupdt"},
      {schedule_with(1, ""), kBadInteger, "statupdt"},
      {schedule_with(1, "+1"), kBadInteger, "statupdt"},
      {schedule_with(1, " 1"), kBadInteger, "statupdt"},
      {schedule_with(1, "2147483648"), kBadInteger, "statupdt"},
      {schedule_with(1, "-2147483649"), kBadInteger, "statupdt"},
      {schedule_with(1, std::string(40, '9')), kBadInteger, "statupdt"},
      {Request("exmndnld", "x;;;;;;;;;;"), kBadInteger, "exmndnld"},
      {Request("statdnld", std::string(kMaxBodySize, ';')) + "x",
       kRequestTooLarge, "statdnld"},
  };
  ASSERT_EQ(Send(Request("statupdt", EncodeValues(kSchedule))).code, kOk);
  const ServiceSettings before = state_.Get();
  recorder_.saved.clear();
  for (const Case& c : cases) {
    SCOPED_TRACE(EncodeValues({c.request.substr(0, 40)}));
    Reply reply = Send(c.request);
    EXPECT_EQ(reply.code, c.code);
    EXPECT_EQ(reply.kind, c.echoed);
    EXPECT_EQ(reply.body, "");
  }
  EXPECT_EQ(state_.Get(), before);
  EXPECT_TRUE(recorder_.saved.empty());
  EXPECT_TRUE(recorder_.lines.empty());
}

TEST_F(HandlerTest, FailedSaveOrJournalIsReportedAndKeepsOldValues) {
  recorder_.fail = true;
  EXPECT_EQ(Send(Request("statupdt", EncodeValues(kSchedule))).code,
            kStateNotSaved);
  EXPECT_EQ(state_.Get(), ServiceSettings::Defaults());
  EXPECT_EQ(Send(Request("exreboot")).code, kJournalNotWritten);
  Reply update = Send(Request("exmnupdt"));
  EXPECT_EQ(update.code, kJournalNotWritten);
  EXPECT_EQ(update.body, "");
}

TEST_F(HandlerTest, StatusAndRebootComeFromTheSettings) {
  ServiceSettings settings = ServiceSettings::Defaults();
  settings.status = 0x00A1;
  settings.reboot = 0xFFFFFFFFu;
  ServiceState state(settings, nullptr, nullptr);
  EXPECT_EQ(EncodeReply(HandleRequest(Request("gustatus"), state)),
            "0000gustatus00A1");
  EXPECT_EQ(HandleRequest(Request("exmnrlbk"), state).body, "FFFFFFFF");
}

TEST(ValuesTest, DecodeSplitsAtEverySeparator) {
  using V = std::vector<std::string>;
  EXPECT_EQ(DecodeValues(""), V{});
  EXPECT_EQ(DecodeValues(";"), (V{"", ""}));
  EXPECT_EQ(DecodeValues("a;;b"), (V{"a", "", "b"}));
  EXPECT_EQ(DecodeValues("@@@@@@@@;@@@"), (V{";;", "@@@"}));
  EXPECT_EQ(EncodeValues({"a;b", "", ";"}), "a@@@@b;;@@@@");
  EXPECT_EQ(DecodeValues(EncodeValues({"a;b", "", ";"})),
            (V{"a;b", "", ";"}));
}

}  // namespace
}  // namespace service
}  // namespace qmx
