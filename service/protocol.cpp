#include "service/protocol.h"

#include <cinttypes>
#include <cstdio>

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
  // Callers keep bodies within kMaxBodySize; the cast only documents it.
  return Hex4(static_cast<uint16_t>(reply.body.size())) + reply.kind +
         Hex4(reply.code) + reply.body;
}

std::string EncodeValues(const std::vector<std::string>& values) {
  std::string out;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += kSeparator;
    out += ReplaceAll(values[i], std::string(1, kSeparator), kEscapedSeparator);
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
  char text[8];
  std::snprintf(text, sizeof(text), "%04X", static_cast<unsigned>(value));
  return text;
}

std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08" PRIX32, value);
  return text;
}

}  // namespace service
}  // namespace qmx
