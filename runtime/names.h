// Name matching shared by the object model, the MOF loader and the seams:
// class, property and method names are compared without regard to case.

#ifndef QMX_RUNTIME_NAMES_H_
#define QMX_RUNTIME_NAMES_H_

#include <string>

namespace qmx {

bool EqualsNoCase(const std::string& left, const std::string& right);
std::string LowerCase(std::string text);

}  // namespace qmx

#endif  // QMX_RUNTIME_NAMES_H_
