#include "link/MessageFormat.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "host/utility.h"

namespace message {
namespace {

long Saturate32(long long llValue) {
  if (llValue > INT32_MAX) return INT32_MAX;
  if (llValue < INT32_MIN) return INT32_MIN;
  return static_cast<long>(llValue);
}

}  // namespace

size_t WireLength(const std::string& strList) {
  return CStringUtil::TstringToString(strList).size();
}

std::string BuildRequest(const std::string& strKind, const std::string& strList) {
  char szLengthField[256];
  snprintf(szLengthField, sizeof(szLengthField), "%04X",
           static_cast<unsigned>(WireLength(strList)));
  std::string strRequest;
  strRequest.reserve(kHeaderLength + strList.size());
  strRequest.append(szLengthField).append(strKind).append(kSuccessCode).append(
      strList);
  return strRequest;
}

std::string EscapeValue(std::string strValue) {
  CStringUtil::strReplace(strValue, kSeparator, kEscapedSeparator);
  return strValue;
}

std::string KindOf(const std::string& strReply) {
  return strReply.substr(kKindOffset, kKindLength);
}

std::string CodeOf(const std::string& strReply) {
  return strReply.substr(kCodeOffset, kCodeLength);
}

long CodeValue(const std::string& strCode) {
  // Truncating to 32 bits makes a signed code such as "-001" read the same
  // on both word sizes.
  uint32_t nValue = static_cast<uint32_t>(strtoul(strCode.c_str(), nullptr, 16));
  return static_cast<long>(static_cast<int32_t>(nValue));
}

std::string FormatInt(long lValue) {
  char szText[256];
  snprintf(szText, sizeof(szText), "%d", static_cast<int>(lValue));
  return szText;
}

long ParseDecimal32(const std::string& strText) {
  return Saturate32(strtoll(strText.c_str(), nullptr, 10));
}

long ParseHex32(const std::string& strText) {
  return Saturate32(strtoll(strText.c_str(), nullptr, 16));
}

const char* FormatBool(bool bValue) { return bValue ? "1" : "0"; }

bool ParseBool(const std::string& strText, bool* pbValue) {
  if (strText == "1" || strText == "0") {
    *pbValue = (strText == "1");
    return true;
  }
  return false;
}

}  // namespace message
