// The value lists the service takes and keeps: their fields and types, how a
// received list is checked, and the settings held between requests.

#ifndef QMX_SERVICE_SETTINGS_H_
#define QMX_SERVICE_SETTINGS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmx {
namespace service {

enum class FieldType { kBool, kInt, kText };

struct Field {
  const char* name;
  FieldType type;
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

// What the service keeps between requests and across restarts: the two
// schedules a client sets, and two knobs a developer may edit in the state
// file to make the service answer differently (clients cannot set them).
struct ServiceSettings {
  std::vector<std::string> download;  // kDownloadScheduleFields, canonical
  std::vector<std::string> update;    // kUpdateScheduleFields, canonical
  uint16_t status = 0;                // gustatus's result code; 0 = idle
  uint32_t reboot = 0;                // exmnupdt/exmnrlbk's Reboot value

  // Automatic download and update off, every integer 0, strings empty.
  static ServiceSettings Defaults();

  bool operator==(const ServiceSettings& other) const;
};

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_SETTINGS_H_
