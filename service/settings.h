// The value lists the service takes and keeps: their fields and types, how a
// received list is checked, and the settings held between requests.

#ifndef QMX_SERVICE_SETTINGS_H_
#define QMX_SERVICE_SETTINGS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qmx {
namespace service {

enum class FieldType { kBool, kInt, kText };

// One value of a list. since is the state file version whose files first
// hold it where a stored list has it: a field added to a stored list takes
// the next version, so that an older service keeps the new key as a later
// one instead of calling the file damaged.
struct Field {
  const char* name;
  FieldType type;
  uint32_t since;
};

// The fields of one value list, in wire order.
struct FieldList {
  const Field* fields;
  size_t count;
};

extern const FieldList kDownloadScheduleFields;  // gtatdnld / statdnld
extern const FieldList kUpdateScheduleFields;    // gtatupdt / statupdt
extern const FieldList kManualDownloadFields;    // exmndnld

// Checks values against list and writes integers back in "%d" form, so that
// what is stored and echoed later is canonical. Returns kOk,
// kWrongValueCount, kBadBoolean or kBadInteger; values may be partly
// rewritten on failure.
uint16_t CheckValues(const FieldList& list, std::vector<std::string>* values);

// A decimal integer ("-" optional, digits only) within int32.
bool ParseInt32(const std::string& text, int32_t* value);

// Keys of a state file written by a newer service that this one does not
// know: kept as they were read and saved again, so that an upgrade after a
// downgrade finds them.
struct LaterKeys {
  uint32_t version = 0;  // of the file they came from
  std::vector<std::pair<std::string, std::string>> entries;  // key, value

  bool operator==(const LaterKeys& other) const {
    return version == other.version && entries == other.entries;
  }
};

// What the service keeps between requests and across restarts: the two
// schedules a client sets, and two knobs a developer may edit in the state
// file to make the service answer differently (clients cannot set them).
// Every member but later is a row of kStoredSettings.
struct ServiceSettings {
  std::vector<std::string> download;  // kDownloadScheduleFields, canonical
  std::vector<std::string> update;    // kUpdateScheduleFields, canonical
  uint32_t status = 0;                // gustatus's result code; 0 = idle
  uint32_t reboot = 0;                // exmnupdt/exmnrlbk's Reboot value
#ifdef QMX_TEST_EXTRA_STATE_KEY
  uint32_t test_extra = 0;  // a build that knows one key more, for upgrades
#endif
  LaterKeys later;

  // Automatic download and update off, every integer 0, strings empty.
  static ServiceSettings Defaults();

  bool operator==(const ServiceSettings& other) const;
};

// One member of ServiceSettings as the state file keeps it: a number of
// hex_digits hex digits under key, or a value list with one "key.Field" line
// per field. since is the state file version that added the key, or
// kOnePastTheRest.
struct StoredSetting {
  const char* key;
  uint32_t since;
  uint32_t ServiceSettings::*number;  // or null for a list
  size_t hex_digits;
  std::vector<std::string> ServiceSettings::*list;  // or null for a number
  const FieldList* fields;                          // the list's fields
};

// The since of the test-only key: one version past every other, so that a
// build with it always writes files newer than one without.
constexpr uint32_t kOnePastTheRest = 0;

// Every member kept, in state file order. A new key is a new row, a new
// field of a stored list a new field, with the next version as its since.
extern const StoredSetting kStoredSettings[];
extern const size_t kStoredSettingCount;

// The version of the state files rows describe: the newest since of the
// rows and of their lists' fields.
uint32_t StateVersionOf(const StoredSetting* rows, size_t count);
// StateVersionOf(kStoredSettings): the version of the state files written.
extern const uint32_t kStateVersion;

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_SETTINGS_H_
