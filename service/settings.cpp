#include "service/settings.h"

#include "service/protocol.h"

namespace qmx {
namespace service {
namespace {

// Every field the service knows, laid out so that each list it takes is one
// run of this table: the schedule (0-4), the download setting (5-14), and the
// external media path a manual download adds (15).
constexpr Field kFields[] = {
    {"IsAutoSetting", FieldType::kBool},
    {"RepeatType", FieldType::kInt},
    {"DayOfWeek", FieldType::kText},
    {"Date", FieldType::kText},
    {"Time", FieldType::kText},
    {"DownloadType", FieldType::kInt},
    {"WebSiteUrl", FieldType::kText},
    {"ProxyAddress", FieldType::kText},
    {"ProxyPort", FieldType::kText},
    {"ProxyUser", FieldType::kText},
    {"ProxyPassword", FieldType::kText},
    {"CacheServerPath", FieldType::kText},
    {"CacheServerUser", FieldType::kText},
    {"CacheServerPassword", FieldType::kText},
    {"TempDriveLetter", FieldType::kText},
    {"ExternalMediaPath", FieldType::kText},
};
constexpr size_t kScheduleCount = 5;
constexpr size_t kSettingCount = 10;

std::vector<std::string> DefaultsFor(const FieldList& list) {
  std::vector<std::string> values;
  for (size_t i = 0; i < list.count; ++i) {
    values.push_back(list.fields[i].type == FieldType::kText ? "" : "0");
  }
  return values;
}

}  // namespace

const FieldList kDownloadScheduleFields = {kFields,
                                           kScheduleCount + kSettingCount};
const FieldList kUpdateScheduleFields = {kFields, kScheduleCount};
const FieldList kManualDownloadFields = {kFields + kScheduleCount,
                                         kSettingCount + 1};

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
    {"TestExtra", 2, &ServiceSettings::test_extra, 8, nullptr, nullptr},
#endif
};
const size_t kStoredSettingCount =
    sizeof(kStoredSettings) / sizeof(kStoredSettings[0]);

const uint32_t kStateVersion = [] {
  uint32_t newest = 0;
  for (const StoredSetting& setting : kStoredSettings) {
    if (setting.since > newest) newest = setting.since;
  }
  return newest;
}();

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
