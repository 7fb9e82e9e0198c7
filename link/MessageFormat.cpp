#include "link/MessageFormat.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "host/utility.h"

namespace message {
namespace {

long Saturate32(long long value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<long>(value);
}

}  // namespace

size_t WireLength(const std::string& list) {
  return CStringUtil::TstringToString(list).size();
}

std::string BuildRequest(const std::string& kind, const std::string& list) {
  char lengthField[256];
  snprintf(lengthField, sizeof(lengthField), "%04X",
           static_cast<unsigned>(WireLength(list)));
  std::string request;
  request.reserve(kHeaderLength + list.size());
  request.append(lengthField).append(kind).append(kSuccessCode).append(list);
  return request;
}

std::string EscapeValue(std::string value) {
  CStringUtil::strReplace(value, kSeparator, kEscapedSeparator);
  return value;
}

std::string KindOf(const std::string& reply) {
  return reply.substr(kKindOffset, kKindLength);
}

std::string CodeOf(const std::string& reply) {
  return reply.substr(kCodeOffset, kCodeLength);
}

std::string BodyOf(const std::string& reply) {
  return reply.substr(kHeaderLength);
}

long CodeValue(const std::string& code) {
  // Truncating to 32 bits makes a signed code such as "-001" read the same
  // on both word sizes.
  uint32_t value = static_cast<uint32_t>(strtoul(code.c_str(), nullptr, 16));
  return static_cast<long>(static_cast<int32_t>(value));
}

std::string FormatInt(long value) {
  char text[256];
  snprintf(text, sizeof(text), "%d", static_cast<int>(value));
  return text;
}

long ParseDecimal32(const std::string& text) {
  return Saturate32(strtoll(text.c_str(), nullptr, 10));
}

long ParseHex32(const std::string& text) {
  return Saturate32(strtoll(text.c_str(), nullptr, 16));
}

const char* FormatBool(bool value) { return value ? "1" : "0"; }

bool ParseBool(const std::string& text, bool* value) {
  if (text == "1" || text == "0") {
    *value = (text == "1");
    return true;
  }
  return false;
}

}  // namespace message
