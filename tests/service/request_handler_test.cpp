// The service's request handler: answers and journal lines, settings kept
// and read back in the wire's form, and each class of bad request refused
// without a change.

#include "service/request_handler.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "service/protocol.h"
#include "service/service_state.h"
#include "tests/support/samples.h"
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

// Every sample, each Set before its Get: the service answers the request
// with the sample's reply and journals the sample's line; a list is saved
// before it is answered, and read back with integers as "%d" and a ";"
// inside a value as "@@@@". A success that changes nothing is routine.
TEST_F(HandlerTest, AnswersEverySampleWithItsReplyAndKeepsWhatIsSet) {
  for (const support::Sample& sample : support::InPlayOrder()) {
    if (sample.request.empty()) continue;
    SCOPED_TRACE("tests/samples/methods: " + sample.method);
    recorder_.lines.clear();
    const size_t saves = recorder_.saved.size();
    EXPECT_EQ(Send(sample.request), sample.reply);
    EXPECT_EQ(recorder_.lines, sample.journal.empty() ? Values{} : Values{sample.journal});
    const bool changed = !recorder_.lines.empty() || recorder_.saved.size() > saves;
    EXPECT_NE(IsRoutine(Reply{sample.kind(), kOk, ""}), changed);
  }
  EXPECT_EQ(recorder_.saved.back(), state_.Get());
  // An integer is kept in "%d" form.
  Values padded = support::ValuesOf(kUpdateScheduleFields, 7), read = padded;
  for (std::string& value : padded) value = value == "7" ? "007" : value;
  EXPECT_EQ(Send(Request("statupdt", EncodeValues(padded))), Request("statupdt"));
  EXPECT_EQ(Send(Request("gtatupdt")), Request("gtatupdt", EncodeValues(read)));
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
