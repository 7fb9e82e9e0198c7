#include "service/request_handler.h"

#include <vector>

namespace qmx {
namespace service {
namespace {

using Values = std::vector<std::string>;

Reply Answer(const std::string& kind, uint16_t code,
             const std::string& body = "") {
  return Reply{kind, code, body};
}

// "Name=value" items for the journal.
Values NamedParams(const FieldList& fields, const Values& values) {
  Values params;
  for (size_t i = 0; i < fields.count && i < values.size(); ++i) {
    params.push_back(std::string(fields.fields[i].name) + "=" + values[i]);
  }
  return params;
}

struct KindEntry;
using Action = Reply (*)(const KindEntry& entry, const Values& values,
                         ServiceState& state);

// One request kind: the values its request carries (null: none), the
// stored list it reads or writes (if any), what it does once the values are
// checked, and whether it only reads (a success then is not worth a log
// line).
struct KindEntry {
  const char* kind;
  const FieldList* request_fields;
  std::vector<std::string> ServiceSettings::*list;
  Action act;
  bool reads_only;
};

Reply GetStatus(const KindEntry& entry, const Values&, ServiceState& state) {
  return Answer(entry.kind, static_cast<uint16_t>(state.Get().status));
}

// exreboot, mdulupdt and exmndnld: nothing happens but the journal line.
Reply Journaled(const KindEntry& entry, const Values& values,
                ServiceState& state) {
  Values params;
  if (entry.request_fields != nullptr) {
    params = NamedParams(*entry.request_fields, values);
  }
  bool ok = state.Record(entry.kind, params);
  return Answer(entry.kind, ok ? kOk : kJournalNotWritten);
}

// exmnupdt and exmnrlbk: journaled, answered with the Reboot value.
Reply JournaledWithReboot(const KindEntry& entry, const Values&,
                          ServiceState& state) {
  std::string reboot = Hex8(state.Get().reboot);
  if (!state.Record(entry.kind, {"Reboot=" + reboot})) {
    return Answer(entry.kind, kJournalNotWritten);
  }
  return Answer(entry.kind, kOk, reboot);
}

Reply GetList(const KindEntry& entry, const Values&, ServiceState& state) {
  return Answer(entry.kind, kOk, EncodeValues(state.Get().*entry.list));
}

Reply SetList(const KindEntry& entry, const Values& values,
              ServiceState& state) {
  bool saved = state.SetList(entry.list, values);
  return Answer(entry.kind, saved ? kOk : kStateNotSaved);
}

constexpr auto kDownload = &ServiceSettings::download;
constexpr auto kUpdate = &ServiceSettings::update;

const KindEntry kKinds[] = {
    {"gustatus", nullptr, nullptr, GetStatus, true},
    {"exreboot", nullptr, nullptr, Journaled, false},
    {"mdulupdt", nullptr, nullptr, Journaled, false},
    {"exmndnld", &kManualDownloadFields, nullptr, Journaled, false},
    {"gtatdnld", nullptr, kDownload, GetList, true},
    {"statdnld", &kDownloadScheduleFields, kDownload, SetList, false},
    {"gtatupdt", nullptr, kUpdate, GetList, true},
    {"statupdt", &kUpdateScheduleFields, kUpdate, SetList, false},
    {"exmnupdt", nullptr, nullptr, JournaledWithReboot, false},
    {"exmnrlbk", nullptr, nullptr, JournaledWithReboot, false},
};

const KindEntry* FindKind(const std::string& kind) {
  for (const KindEntry& entry : kKinds) {
    if (kind == entry.kind) return &entry;
  }
  return nullptr;
}

// The body's values checked against what the kind takes; kOk or the code
// of the first fault.
uint16_t CheckBody(const KindEntry& entry, const std::string& body,
                   Values* values) {
  if (entry.request_fields == nullptr) {
    return body.empty() ? kOk : kWrongValueCount;
  }
  *values = DecodeValues(body);
  return CheckValues(*entry.request_fields, values);
}

}  // namespace

Reply HandleRequest(const std::string& request, ServiceState& state) {
  std::string echoed = EchoedKind(request);
  if (request.size() > kMaxRequestSize) return Answer(echoed, kRequestTooLarge);
  RequestHeader header;
  if (!ParseRequestHeader(request, &header)) {
    return Answer(echoed, kMalformedHeader);
  }
  const KindEntry* entry = FindKind(header.kind);
  if (entry == nullptr) return Answer(header.kind, kUnknownKind);
  std::string body = request.substr(kHeaderSize);
  if (body.size() != header.body_length) {
    return Answer(header.kind, kLengthMismatch);
  }
  Values values;
  uint16_t code = CheckBody(*entry, body, &values);
  if (code != kOk) return Answer(header.kind, code);
  return entry->act(*entry, values, state);
}

bool IsRoutine(const Reply& reply) {
  const KindEntry* entry = FindKind(reply.kind);
  return reply.code == kOk && entry != nullptr && entry->reads_only;
}

std::vector<std::string> RequestKinds() {
  std::vector<std::string> kinds;
  for (const KindEntry& entry : kKinds) kinds.push_back(entry.kind);
  return kinds;
}

}  // namespace service
}  // namespace qmx
