// Value lists the update service takes, built from its field tables, for
// the tests, fuzz targets and benchmark that need a good list without
// writing one out: a field added to a table reaches them all. The request
// handler's tests keep one literal request and reply per kind, so that a
// mistake the tables and the code share still fails there.

#ifndef QMX_TESTS_SUPPORT_WIRE_LISTS_H_
#define QMX_TESTS_SUPPORT_WIRE_LISTS_H_

#include <string>
#include <vector>

#include "service/settings.h"

namespace qmx {
namespace support {

// One value per field of list, each one the service takes: booleans "1",
// integers number, texts text(the field's name).
template <typename TextOf>
std::vector<std::string> ValuesOf(const service::FieldList& list, int number, TextOf text) {
  std::vector<std::string> values;
  for (size_t i = 0; i < list.count; ++i) {
    const service::Field& field = list.fields[i];
    switch (field.type) {
      case service::FieldType::kBool:
        values.push_back("1");
        break;
      case service::FieldType::kInt:
        values.push_back(std::to_string(number));
        break;
      case service::FieldType::kText:
        values.push_back(text(std::string(field.name)));
        break;
    }
  }
  return values;
}

// Texts that name their field and number: lists of two numbers differ in
// every field but the booleans.
inline std::vector<std::string> ValuesOf(const service::FieldList& list, int number) {
  return ValuesOf(list, number, [number](const std::string& name) {
    return name + std::to_string(number);
  });
}

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_WIRE_LISTS_H_
