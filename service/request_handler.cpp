#include "service/request_handler.h"

#include <cstring>
#include <utility>
#include <vector>

namespace qmx {
namespace service {
namespace {

using Values = std::vector<std::string>;

Reply Answer(std::string kind, uint16_t code, std::string body = "") {
  return Reply{std::move(kind), code, std::move(body)};
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
  return Answer(entry.kind, static_cast<uint16_t>(state.Snapshot()->status));
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
  std::string reboot = Hex8(state.Snapshot()->reboot);
  if (!state.Record(entry.kind, {"Reboot=" + reboot})) {
    return Answer(entry.kind, kJournalNotWritten);
  }
  return Answer(entry.kind, kOk, reboot);
}

Reply GetList(const KindEntry& entry, const Values&, ServiceState& state) {
  const std::shared_ptr<const ServiceSettings> settings = state.Snapshot();
  return Answer(entry.kind, kOk, EncodeValues((*settings).*entry.list));
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

// Every kind is kKindSize letters, so a kind of any other size is none.
const KindEntry* FindKind(const char* kind, size_t size) {
  if (size != kKindSize) return nullptr;
  for (const KindEntry& entry : kKinds) {
    if (std::memcmp(kind, entry.kind, kKindSize) == 0) return &entry;
  }
  return nullptr;
}

const KindEntry* FindKind(const std::string& kind) {
  return FindKind(kind.data(), kind.size());
}

// The body's values checked against what the kind takes; kOk or the code
// of the first fault.
uint16_t CheckBody(const KindEntry& entry, const std::string& request,
                   Values* values) {
  if (entry.request_fields == nullptr) {
    return request.size() == kHeaderSize ? kOk : kWrongValueCount;
  }
  *values = DecodeValues(request.substr(kHeaderSize));
  return CheckValues(*entry.request_fields, values);
}

}  // namespace

Reply HandleRequest(const std::string& request, ServiceState& state) {
  if (request.size() > kMaxRequestSize) {
    return Answer(EchoedKind(request), kRequestTooLarge);
  }
  RequestHeader header;
  if (!ParseRequestHeader(request, &header)) {
    return Answer(EchoedKind(request), kMalformedHeader);
  }
  const KindEntry* entry = FindKind(header.kind);
  if (entry == nullptr) return Answer(header.kind, kUnknownKind);
  if (request.size() - kHeaderSize != header.body_length) {
    return Answer(header.kind, kLengthMismatch);
  }
  Values values;
  uint16_t code = CheckBody(*entry, request, &values);
  if (code != kOk) return Answer(header.kind, code);
  return entry->act(*entry, values, state);
}

bool OnlyReads(const std::string& request) {
  if (request.size() < 4 + kKindSize) return false;
  const KindEntry* entry = FindKind(request.data() + 4, kKindSize);
  return entry != nullptr && entry->reads_only;
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
