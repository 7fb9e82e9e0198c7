// The text format of update-service messages, as pure functions.
//
// A message is a 16-character header (a "%04X" length field, an eight-letter
// kind, a four-digit hexadecimal result code) followed by a parameter list:
// values joined with ";", a ";" inside a value written "@@@@".

#ifndef QMX_LINK_MESSAGEFORMAT_H_
#define QMX_LINK_MESSAGEFORMAT_H_

#include <cstddef>
#include <string>

namespace message {

constexpr size_t kHeaderLength = 16;
constexpr size_t kKindOffset = 4;
constexpr size_t kKindLength = 8;
constexpr size_t kCodeOffset = 12;
constexpr size_t kCodeLength = 4;
// The four-digit length field cannot describe a longer parameter list.
constexpr size_t kMaxListLength = 0xFFFF;
const char kSuccessCode[] = "0000";
const char kSeparator[] = ";";
const char kEscapedSeparator[] = "@@@@";

// Header and parameter list of a request; the length field counts the list
// as the transport carries it.
std::string BuildRequest(const std::string& strKind, const std::string& strList);

// The list length that the length field states.
size_t WireLength(const std::string& strList);

// ";" in a value becomes "@@@@"; nothing else changes.
std::string EscapeValue(std::string strValue);

// The fields of a reply of at least kHeaderLength characters.
std::string KindOf(const std::string& strReply);
std::string CodeOf(const std::string& strReply);

// A result code read as strtoul does in base 16, as a 32-bit value.
long CodeValue(const std::string& strCode);

// Text forms of values. Integers read as strtol does (leading blanks, a
// sign, digits up to the first other character, 0 without digits) and are
// saturated to the 32-bit range on every build.
std::string FormatInt(long lValue);
long ParseDecimal32(const std::string& strText);
long ParseHex32(const std::string& strText);
const char* FormatBool(bool bValue);
// Only exactly "1" and "0" are booleans.
bool ParseBool(const std::string& strText, bool* pbValue);

}  // namespace message

#endif  // QMX_LINK_MESSAGEFORMAT_H_
