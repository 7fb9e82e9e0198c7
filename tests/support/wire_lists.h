// Value lists the update service takes, built from its field tables, for
// the tests, fuzz targets and benchmark that need a good list without
// writing one out: a field added to a table reaches them all. The samples
// (samples.h) keep one literal request and reply per kind, so that a
// mistake the tables and the code share still fails there. And settings
// as a failed test shows them: their state file, each field by name.

#ifndef QMX_TESTS_SUPPORT_WIRE_LISTS_H_
#define QMX_TESTS_SUPPORT_WIRE_LISTS_H_

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "service/settings.h"
#include "service/state_file.h"

namespace qmx {
namespace support {

// One value per field of list, each one the service takes: booleans "1",
// integers number, texts text(the field's name), by default the name and
// number, so that lists of two numbers differ in every field but the
// booleans.
inline std::vector<std::string> ValuesOf(
    const service::FieldList& list, int number,
    const std::function<std::string(const std::string&)>& text = nullptr) {
  std::vector<std::string> values;
  for (size_t i = 0; i < list.count; ++i) {
    const service::Field& field = list.fields[i];
    const std::string name = field.name;
    values.push_back(field.type == service::FieldType::kBool  ? "1"
                     : field.type == service::FieldType::kInt ? std::to_string(number)
                     : text                                   ? text(name)
                                                              : name + std::to_string(number));
  }
  return values;
}

}  // namespace support

namespace service {

inline void PrintTo(const ServiceSettings& settings, std::ostream* out) {
  *out << FormatState(settings);
}

}  // namespace service
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_WIRE_LISTS_H_
