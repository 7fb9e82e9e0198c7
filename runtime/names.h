// Name matching shared by the object model, the MOF loader and the seams:
// class, property and method names are compared without regard to case.

#ifndef QMX_RUNTIME_NAMES_H_
#define QMX_RUNTIME_NAMES_H_

#include <strings.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace qmx {

inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Views, so that a name given as a C string is compared where it lies; in
// the header and without the locale's case table, as a property lookup
// runs for every Get and Put. Names are ASCII.
inline bool EqualsNoCase(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return false;
  for (size_t i = 0; i < left.size(); ++i) {
    if (left[i] != right[i] && AsciiLower(left[i]) != AsciiLower(right[i])) {
      return false;
    }
  }
  return true;
}

// Orders names without regard to case, so that a map keyed by them finds a
// name in any case without a lower-case copy of it.
struct NoCaseLess {
  bool operator()(const std::string& left, const std::string& right) const {
    int order = strncasecmp(left.data(), right.data(),
                            std::min(left.size(), right.size()));
    return order != 0 ? order < 0 : left.size() < right.size();
  }
};
std::string LowerCase(std::string text);

}  // namespace qmx

#endif  // QMX_RUNTIME_NAMES_H_
