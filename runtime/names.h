// Name matching shared by the object model, the MOF loader and the seams:
// class, property and method names are compared without regard to case.

#ifndef QMX_RUNTIME_NAMES_H_
#define QMX_RUNTIME_NAMES_H_

#include <string>
#include <string_view>

namespace qmx {

// Views, so that a name given as a C string is compared where it lies: a
// property lookup runs for every Get and Put.
bool EqualsNoCase(std::string_view left, std::string_view right);
std::string LowerCase(std::string text);

}  // namespace qmx

#endif  // QMX_RUNTIME_NAMES_H_
