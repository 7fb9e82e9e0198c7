// Byte-string helpers of the host framework and the runtime's name matching.

#include <cstring>

#include "host/utility.h"
#include "common/names.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {

std::string LowerCase(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

}  // namespace qmx

int lstrcmpW(const char* left, const char* right) {
  // Only an action (which may throw) is of use here: a compare has no status.
  qmx::internal::InjectedFault(qmx::testing::HostOperation::kCompare,
                               right == nullptr ? "" : right);
  // A null string is the empty string, as a null BSTR is.
  return std::strcmp(left == nullptr ? "" : left, right == nullptr ? "" : right);
}

void CStringUtil::strReplace(std::string& text, const std::string& from,
                             const std::string& to) {
  if (from.empty()) return;
  std::string result;
  size_t start = 0;
  for (size_t hit = text.find(from); hit != std::string::npos;
       hit = text.find(from, start)) {
    result.append(text, start, hit - start);
    result += to;
    start = hit + from.size();
  }
  if (start == 0) return;
  result.append(text, start, std::string::npos);
  text.swap(result);
}

std::string CStringUtil::StringToTstring(const std::string& text) {
  return text;
}

std::string CStringUtil::TstringToString(const std::string& text) {
  return text;
}
