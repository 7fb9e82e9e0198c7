#include "service/protocol.h"


namespace qmx {
namespace service {
namespace {

constexpr char kSeparator = ';';
constexpr char kEscapedSeparator[] = "@@@@";

bool IsUpperHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int HexDigitValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

bool IsKindLetter(char c) { return c >= 'a' && c <= 'z'; }

std::string ReplaceAll(const std::string& text, const std::string& from,
                       const std::string& to) {
  std::string out;
  size_t start = 0;
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, start)) {
    out.append(text, start, at - start);
    out += to;
    start = at + from.size();
  }
  out.append(text, start, std::string::npos);
  return out;
}

// The escaped form of value, appended to out.
void AppendEscaped(const std::string& value, std::string* out) {
  size_t start = 0;
  for (size_t at = value.find(kSeparator); at != std::string::npos;
       at = value.find(kSeparator, start)) {
    out->append(value, start, at - start);
    out->append(kEscapedSeparator);
    start = at + 1;
  }
  out->append(value, start, std::string::npos);
}

// value as digits upper-case hex digits, appended to out.
void AppendHex(uint32_t value, int digits, std::string* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out->push_back(kDigits[(value >> shift) & 0xF]);
  }
}

}  // namespace

bool ParseRequestHeader(const std::string& request, RequestHeader* header) {
  if (request.size() < kHeaderSize) return false;
  size_t length = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (!IsUpperHexDigit(request[i])) return false;
    length = length * 16 + static_cast<size_t>(HexDigitValue(request[i]));
  }
  for (size_t i = 4; i < 4 + kKindSize; ++i) {
    if (!IsKindLetter(request[i])) return false;
  }
  if (request.compare(12, 4, "0000") != 0) return false;
  header->body_length = length;
  header->kind = request.substr(4, kKindSize);
  return true;
}

std::string EchoedKind(const std::string& request) {
  if (request.size() < 4 + kKindSize) return "????????";
  std::string kind = request.substr(4, kKindSize);
  for (char c : kind) {
    if (c < 0x20 || c > 0x7e) return "????????";
  }
  return kind;
}

std::string EncodeReply(const Reply& reply) {
  std::string bytes;
  bytes.reserve(kHeaderSize + reply.body.size());
  // Callers keep bodies within kMaxBodySize; the cast only documents it.
  AppendHex(static_cast<uint16_t>(reply.body.size()), 4, &bytes);
  bytes += reply.kind;
  AppendHex(reply.code, 4, &bytes);
  bytes += reply.body;
  return bytes;
}

std::string EncodeValues(const std::vector<std::string>& values) {
  size_t size = values.size();  // the separators; exact with no ";" inside
  for (const std::string& value : values) size += value.size();
  std::string out;
  out.reserve(size);
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += kSeparator;
    AppendEscaped(values[i], &out);
  }
  return out;
}

std::vector<std::string> DecodeValues(const std::string& body) {
  std::vector<std::string> values;
  if (body.empty()) return values;
  size_t start = 0;
  while (true) {
    size_t end = body.find(kSeparator, start);
    std::string item = body.substr(start, end == std::string::npos
                                              ? std::string::npos
                                              : end - start);
    values.push_back(ReplaceAll(item, kEscapedSeparator,
                                std::string(1, kSeparator)));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return values;
}

std::string Hex4(uint16_t value) {
  std::string text;
  AppendHex(value, 4, &text);
  return text;
}

std::string Hex8(uint32_t value) {
  std::string text;
  AppendHex(value, 8, &text);
  return text;
}

}  // namespace service
}  // namespace qmx
