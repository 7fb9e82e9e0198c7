// The update service's wire format, shared by requests and replies: a
// 16-character header (body length "%04X", eight-letter kind, four-digit hex
// result code) followed by a body of ";"-joined values in which a ";" inside
// a value travels as "@@@@".

#ifndef QMX_SERVICE_PROTOCOL_H_
#define QMX_SERVICE_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmx {
namespace service {

constexpr size_t kHeaderSize = 16;
constexpr size_t kKindSize = 8;
constexpr size_t kMaxBodySize = 0xFFFF;
constexpr size_t kMaxRequestSize = kHeaderSize + kMaxBodySize;

// Result codes the service answers with. Clients keep 1001..1003 for their
// own failures, so the service stays clear of them.
enum ResultCode : uint16_t {
  kOk = 0x0000,
  kMalformedHeader = 0x0010,
  kUnknownKind = 0x0011,
  kLengthMismatch = 0x0012,
  kWrongValueCount = 0x0013,
  kBadBoolean = 0x0014,
  kBadInteger = 0x0015,
  kRequestTooLarge = 0x0016,
  kStateNotSaved = 0x0020,
  kJournalNotWritten = 0x0021,
};

// The parts of a well-formed request header.
struct RequestHeader {
  size_t body_length = 0;  // from the length field
  std::string kind;
};

// What the service answers; EncodeReply turns it into bytes.
struct Reply {
  std::string kind;
  uint16_t code = kOk;
  std::string body;
};

// True when the first 16 bytes of request are a request header: upper-case
// hex length, eight lower-case letters, result field "0000". It does not
// compare the length field with the body.
bool ParseRequestHeader(const std::string& request, RequestHeader* header);

// The kind to echo in a reply to a request whose header may be broken: the
// eight bytes at offset 4 when all are printable ASCII, else "????????".
std::string EchoedKind(const std::string& request);

std::string EncodeReply(const Reply& reply);

// Joins values with ";", writing each ";" inside a value as "@@@@".
std::string EncodeValues(const std::vector<std::string>& values);

// Splits a body at every ";" and turns each "@@@@" of an item back into ";".
// An empty body holds no values.
std::vector<std::string> DecodeValues(const std::string& body);

// "%04X" / "%08X" of a value, exactly that wide.
std::string Hex4(uint16_t value);
std::string Hex8(uint32_t value);

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_PROTOCOL_H_
