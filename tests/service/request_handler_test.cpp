// The service's request handler: answers and journal lines, settings kept
// and read back in the wire's form, and each class of bad request refused
// without a change.

#include "service/request_handler.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "service/protocol.h"
#include "service/service_state.h"
#include "tests/support/method_table.h"
#include "tests/support/unix_socket.h"
#include "tests/support/wire_lists.h"

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

// Every kind once, in order, each request and reply written out as a client
// and the service put them, so that a mistake the field tables and the code
// share fails here: a success has the layout of a request, answered with
// its kind and a body; journal lines name every value; a list is saved
// before it is answered, and read back with integers as "%d" and a ";"
// inside a value as "@@@@". Elsewhere lists are built from the tables.
TEST_F(HandlerTest, AnswersEveryKindInTheWiresFormAndKeepsWhatIsSet) {
  const struct { std::string request, reply, journal; } cases[] = {
      {"0000gustatus0000", "0000gustatus0000", ""},
      {"0000exreboot0000", "0000exreboot0000", "exreboot"},
      {"0000mdulupdt0000", "0000mdulupdt0000", "mdulupdt"},
      {"0022exmndnld00002;http://u@@@@x;p;8080;;pw;;;;T;/m", "0000exmndnld0000",
       "exmndnld DownloadType=2 WebSiteUrl=http://u;x ProxyAddress=p ProxyPort=8080 ProxyUser= "
       "ProxyPassword=pw CacheServerPath= CacheServerUser= CacheServerPassword= "
       "TempDriveLetter=T ExternalMediaPath=/m"},
      {"0000gtatupdt0000", "0006gtatupdt00000;0;;;", ""},
      {"0013statupdt00001;007;Monday;;03:00", "0000statupdt0000", ""},
      {"0045statdnld00001;009;Sun;d;t;-2147483648;http://a@@@@b;proxy;3128;user;p@@@@ss;;;;C:",
       "0000statdnld0000", ""},
      {"0000gtatdnld0000",
       "0043gtatdnld00001;9;Sun;d;t;-2147483648;http://a@@@@b;proxy;3128;user;p@@@@ss;;;;C:", ""},
      {"0000exmnupdt0000", "0008exmnupdt000000000000", "exmnupdt Reboot=00000000"},
      {"0000exmnrlbk0000", "0008exmnrlbk000000000000", "exmnrlbk Reboot=00000000"},
  };
  std::string kinds;
  for (const auto& c : cases) {
    recorder_.lines.clear();
    const size_t saves = recorder_.saved.size();
    EXPECT_EQ(Send(c.request), c.reply);
    EXPECT_EQ(recorder_.lines, c.journal.empty() ? Values{} : Values{c.journal});
    // A success that changes nothing is routine, not worth a log line.
    const bool changed = !recorder_.lines.empty() || recorder_.saved.size() > saves;
    EXPECT_NE(IsRoutine(Reply{c.request.substr(4, kKindSize), kOk, ""}), changed) << c.request;
    kinds += c.request.substr(4, kKindSize) + " ";
  }
  for (const support::MethodEntry& method : support::kMethods) {
    EXPECT_NE(kinds.find(std::string(method.kind) + " "), std::string::npos) << method.name;
  }
  ASSERT_EQ(recorder_.saved.size(), 2u);
  EXPECT_EQ(recorder_.saved.back(), state_.Get());
}

// kind's request with a good list but for its first field of type (or its
// last field), which holds value.
std::string With(const char* kind, const FieldList& list, FieldType type,
                 const std::string& value) {
  Values values = support::ValuesOf(list, 1);
  size_t i = 0;
  while (i + 1 < list.count && list.fields[i].type != type) ++i;
  values[i] = value;
  return Request(kind, EncodeValues(values));
}

// One request of each class, and writes whose save or journal line fails;
// the echoed kind is "????????" where the bytes are not printable.
TEST_F(HandlerTest, BadRequestsAndFailedWritesGetTheirCodeAndChangeNothing) {
  const std::string update = EncodeValues(support::ValuesOf(kUpdateScheduleFields, 1));
  const struct { std::string request; uint16_t code; std::string echoed; } cases[] = {
      {"0000gustatus0001", kMalformedHeader, "gustatus"},
      {"000agustatus0000", kMalformedHeader, "gustatus"},
      {"0000gustatus", kMalformedHeader, "gustatus"},
      {std::string("0000gus\0atus0000", 16), kMalformedHeader, "????????"},
      {"0000gustatu\x7f" "0000", kMalformedHeader, "????????"},
      {"0000 ustat~~0000", kMalformedHeader, " ustat~~"},  // the printable ends
      {"0000gustatux0000", kUnknownKind, "gustatux"},
      {"0000statupdt0000" + update, kLengthMismatch, "statupdt"},
      {Request("gustatus", "x"), kWrongValueCount, "gustatus"},
      {Request("statupdt", update + ";"), kWrongValueCount, "statupdt"},
      {With("statupdt", kUpdateScheduleFields, FieldType::kBool, "2"), kBadBoolean, "statupdt"},
      {With("statupdt", kUpdateScheduleFields, FieldType::kInt, "2147483648"), kBadInteger,
       "statupdt"},
      {With("exmndnld", kManualDownloadFields, FieldType::kInt, "+1"), kBadInteger, "exmndnld"},
      {Request("statdnld", std::string(kMaxBodySize, ';')) + "x", kRequestTooLarge, "statdnld"},
      {Request("statupdt", EncodeValues(support::ValuesOf(kUpdateScheduleFields, 5))),
       kStateNotSaved, "statupdt"},
      {Request("exmnupdt"), kJournalNotWritten, "exmnupdt"},
  };
  ASSERT_EQ(Send(Request("statupdt", EncodeValues(support::ValuesOf(kUpdateScheduleFields, 2)))),
            Request("statupdt"));
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
