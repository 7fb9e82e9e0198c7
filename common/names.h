// Name matching shared by the object model, the MOF loader, the seams and the
// readers of configuration and package files: class, property, method, key
// and field names are compared without regard to case.

#ifndef QMX_COMMON_NAMES_H_
#define QMX_COMMON_NAMES_H_

#include <algorithm>
#include <string>
#include <string_view>

namespace qmx {

// Names are ASCII, and one rule of case holds for every comparison below,
// whatever locale the host has set.
inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Views, so that a name given as a C string is compared where it lies; in
// the header, as a property lookup runs for every Get and Put.
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
    return std::lexicographical_compare(
        left.begin(), left.end(), right.begin(), right.end(),
        [](char a, char b) { return AsciiLower(a) < AsciiLower(b); });
  }
};

std::string LowerCase(std::string text);

}  // namespace qmx

#endif  // QMX_COMMON_NAMES_H_
