#include "service/settings.h"

#include <algorithm>
#include <iterator>

#include "service/protocol.h"

namespace qmx {
namespace service {
namespace {

// Every field the service knows, laid out so that each list it takes is one
// run of this table: the schedule, the download setting from DownloadType
// on, and the external media path a manual download adds.
constexpr Field kFields[] = {
    {"IsAutoSetting", FieldType::kBool, 1},
    {"RepeatType", FieldType::kInt, 1},
    {"DayOfWeek", FieldType::kText, 1},
    {"Date", FieldType::kText, 1},
    {"Time", FieldType::kText, 1},
    {"DownloadType", FieldType::kInt, 1},
    {"WebSiteUrl", FieldType::kText, 1},
    {"ProxyAddress", FieldType::kText, 1},
    {"ProxyPort", FieldType::kText, 1},
    {"ProxyUser", FieldType::kText, 1},
    {"ProxyPassword", FieldType::kText, 1},
    {"CacheServerPath", FieldType::kText, 1},
    {"CacheServerUser", FieldType::kText, 1},
    {"CacheServerPassword", FieldType::kText, 1},
    {"TempDriveLetter", FieldType::kText, 1},
    {"ExternalMediaPath", FieldType::kText, 1},
};

// The place of the field named name in kFields: where a run starts, so that
// a field added at the end of a run needs no count changed.
constexpr size_t FieldAt(const char* name) {
  size_t i = 0;
  for (const Field& field : kFields) {
    const char* a = field.name;
    const char* b = name;
    while (*a != '\0' && *a == *b) {
      ++a;
      ++b;
    }
    if (*a == *b) return i;
    ++i;
  }
  return i;
}
constexpr size_t kSettingStart = FieldAt("DownloadType");
constexpr size_t kManualStart = FieldAt("ExternalMediaPath");
static_assert(kSettingStart < kManualStart && kManualStart < std::size(kFields),
              "each run starts at a field of the table");

std::vector<std::string> DefaultsFor(const FieldList& list) {
  std::vector<std::string> values;
  for (size_t i = 0; i < list.count; ++i) {
    values.push_back(list.fields[i].type == FieldType::kText ? "" : "0");
  }
  return values;
}

}  // namespace

const FieldList kDownloadScheduleFields = {kFields, kManualStart};
const FieldList kUpdateScheduleFields = {kFields, kSettingStart};
const FieldList kManualDownloadFields = {kFields + kSettingStart,
                                         std::size(kFields) - kSettingStart};

bool ParseInt32(const std::string& text, int32_t* value) {
  size_t i = 0;
  bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  if (i == text.size()) return false;
  // Accumulate the magnitude in 64 bits and stop as soon as it leaves the
  // int32 range, so that no length of digits can overflow.
  const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > limit) return false;
  }
  *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return true;
}

uint16_t CheckValues(const FieldList& list, std::vector<std::string>* values) {
  if (values->size() != list.count) return kWrongValueCount;
  for (size_t i = 0; i < list.count; ++i) {
    std::string& value = (*values)[i];
    switch (list.fields[i].type) {
      case FieldType::kBool:
        if (value != "0" && value != "1") return kBadBoolean;
        break;
      case FieldType::kInt: {
        int32_t number = 0;
        if (!ParseInt32(value, &number)) return kBadInteger;
        value = std::to_string(number);
        break;
      }
      case FieldType::kText:
        break;
    }
  }
  return kOk;
}

const StoredSetting kStoredSettings[] = {
    {"Status", 1, &ServiceSettings::status, 4, nullptr, nullptr},
    {"Reboot", 1, &ServiceSettings::reboot, 8, nullptr, nullptr},
    {"download", 1, nullptr, 0, &ServiceSettings::download,
     &kDownloadScheduleFields},
    {"update", 1, nullptr, 0, &ServiceSettings::update, &kUpdateScheduleFields},
#ifdef QMX_TEST_EXTRA_STATE_KEY
    {"TestExtra", kOnePastTheRest, &ServiceSettings::test_extra, 8, nullptr,
     nullptr},
#endif
};
const size_t kStoredSettingCount =
    sizeof(kStoredSettings) / sizeof(kStoredSettings[0]);

uint32_t StateVersionOf(const StoredSetting* rows, size_t count) {
  uint32_t newest = 0;
  bool one_past = false;
  for (size_t n = 0; n < count; ++n) {
    const StoredSetting& row = rows[n];
    one_past = one_past || row.since == kOnePastTheRest;
    newest = std::max(newest, row.since);
    for (size_t i = 0; row.list != nullptr && i < row.fields->count; ++i) {
      newest = std::max(newest, row.fields->fields[i].since);
    }
  }
  return one_past ? newest + 1 : newest;
}

const uint32_t kStateVersion =
    StateVersionOf(kStoredSettings, kStoredSettingCount);

ServiceSettings ServiceSettings::Defaults() {
  ServiceSettings settings;
  for (const StoredSetting& setting : kStoredSettings) {
    if (setting.list != nullptr) {
      settings.*setting.list = DefaultsFor(*setting.fields);
    }
  }
  return settings;
}

bool ServiceSettings::operator==(const ServiceSettings& other) const {
  for (const StoredSetting& setting : kStoredSettings) {
    bool same = setting.list != nullptr
                    ? this->*setting.list == other.*setting.list
                    : this->*setting.number == other.*setting.number;
    if (!same) return false;
  }
  return later == other.later;
}

}  // namespace service
}  // namespace qmx
