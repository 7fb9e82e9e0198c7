// The service's request handler: answers and journal lines, settings kept
// and read back in the wire's form, and each class of bad request refused
// without a change.

#include "service/request_handler.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "service/protocol.h"
#include "service/service_state.h"
#include "tests/support/unix_socket.h"

namespace qmx {
namespace service {
namespace {

using Values = std::vector<std::string>;
using support::Request;

// Remembers saves and journal lines; can be told to fail them.
class Recorder : public SettingsStore, public ActionJournal {
 public:
  bool Save(const ServiceSettings& settings, std::string*) override {
    if (!fail) saved.push_back(settings);
    return !fail;
  }
  bool Record(const std::string& kind, const Values& params, std::string*) override {
    if (fail) return false;
    lines.push_back(kind);
    for (const std::string& param : params) lines.back() += " " + param;
    return true;
  }
  bool fail = false;
  std::vector<ServiceSettings> saved;
  Values lines;
};

class HandlerTest : public ::testing::Test {
 protected:
  std::string Send(const std::string& request) {
    return EncodeReply(HandleRequest(request, state_));
  }

  Recorder recorder_;
  ServiceState state_{ServiceSettings::Defaults(), &recorder_, &recorder_};
};

// In order: a success has the layout of a request, answered with its kind
// and a body; journal lines name every value. A list is saved before it is
// answered, and read back with integers as "%d" and a ";" inside a value as
// "@@@@". (Every kind's answer end to end is the integration tests'.)
TEST_F(HandlerTest, AnswersAndJournalsInTheWiresFormAndKeepsWhatIsSet) {
  const struct { std::string request, reply, journal; } cases[] = {
      {Request("gtatupdt"), Request("gtatupdt", "0;0;;;"), ""},
      {Request("exmnrlbk"), Request("exmnrlbk", "00000000"), "exmnrlbk Reboot=00000000"},
      {Request("exmndnld", "2;http://u@@@@x;p;8080;;pw;;;;T;/m"), Request("exmndnld"),
       "exmndnld DownloadType=2 WebSiteUrl=http://u;x ProxyAddress=p ProxyPort=8080 ProxyUser= "
       "ProxyPassword=pw CacheServerPath= CacheServerUser= CacheServerPassword= "
       "TempDriveLetter=T ExternalMediaPath=/m"},
      {Request("statdnld", "1;009;Sun;d;t;-2147483648;http://a@@@@b;proxy;3128;user;p@@@@ss;;;;C:"),
       Request("statdnld"), ""},
      {Request("gtatdnld"),
       Request("gtatdnld", "1;9;Sun;d;t;-2147483648;http://a@@@@b;proxy;3128;user;p@@@@ss;;;;C:"),
       ""},
  };
  for (const auto& c : cases) {
    recorder_.lines.clear();
    EXPECT_EQ(Send(c.request), c.reply);
    EXPECT_EQ(recorder_.lines, c.journal.empty() ? Values{} : Values{c.journal});
  }
  ASSERT_EQ(recorder_.saved.size(), 1u);
  EXPECT_EQ(recorder_.saved.back(), state_.Get());
}

// One request of each class, and writes whose save or journal line fails;
// the echoed kind is "????????" where the bytes are not printable.
TEST_F(HandlerTest, BadRequestsAndFailedWritesGetTheirCodeAndChangeNothing) {
  const struct { std::string request; uint16_t code; std::string echoed; } cases[] = {
      {"0000gustatus0001", kMalformedHeader, "gustatus"},
      {std::string("0000gus\0atus0000", 16), kMalformedHeader, "????????"},
      {"0000gustatux0000", kUnknownKind, "gustatux"},
      {"0000statupdt00001;0;;;", kLengthMismatch, "statupdt"},
      {Request("gustatus", "x"), kWrongValueCount, "gustatus"},
      {Request("statupdt", "2;0;;;"), kBadBoolean, "statupdt"},
      {Request("statupdt", "1;2147483648;;;"), kBadInteger, "statupdt"},
      {Request("exmndnld", "+1;;;;;;;;;;"), kBadInteger, "exmndnld"},
      {Request("statdnld", std::string(kMaxBodySize, ';')) + "x", kRequestTooLarge, "statdnld"},
      {Request("statupdt", "0;5;Sun;;"), kStateNotSaved, "statupdt"},
      {Request("exmnupdt"), kJournalNotWritten, "exmnupdt"},
  };
  ASSERT_EQ(Send(Request("statupdt", "1;2;Monday;;03:00")), Request("statupdt"));
  const ServiceSettings before = state_.Get();
  recorder_.saved.clear();
  recorder_.fail = true;
  for (const auto& c : cases) {
    EXPECT_EQ(Send(c.request), "0000" + c.echoed + Hex4(c.code))
        << EncodeValues({c.request.substr(0, 40)});
  }
  EXPECT_EQ(state_.Get(), before);
  EXPECT_TRUE(recorder_.saved.empty());
  EXPECT_TRUE(recorder_.lines.empty());
}

}  // namespace
}  // namespace service
}  // namespace qmx
