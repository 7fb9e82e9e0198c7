// The update service's request handler on arbitrary bytes, against a state
// kept in memory. Whatever arrives, the reply must echo an eight-character
// kind and carry a body its length field can state; a bad request gets an
// empty body and changes nothing; only a good Set changes the settings, and
// what it stored survives the wire: setting again what the matching Get
// reads back changes nothing.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/protocol.h"
#include "service/request_handler.h"
#include "service/service_state.h"

namespace {

using qmx::service::HandleRequest;
using qmx::service::Reply;
using qmx::service::ServiceSettings;
using qmx::service::ServiceState;
using qmx_fuzz::Check;

// Settings as clients could have left them: texts with separators, a
// trailing "@" and long values, so that Gets have something to escape.
ServiceSettings Initial() {
  ServiceSettings settings = ServiceSettings::Defaults();
  settings.download = {"1",      "2",     "Mon;Tue", "2024/01/31", "03:00",     "-7", "http://a;b",
                       "proxy@", "08080", "user",    ";p;w;",      "\\\\cache", "cu", "cp", "E"};
  settings.update = {"0", "2147483647", "Sunday", "", "23:59"};
  settings.status = 0x00A5;
  settings.reboot = 0x80000001u;
  return settings;
}

std::string Request(const std::string& kind, const std::string& body) {
  return qmx::service::Hex4(body.size()) + kind + "0000" + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ServiceState state(Initial(), nullptr, nullptr);
  ServiceSettings before = state.Get();

  Reply reply = HandleRequest(std::string(reinterpret_cast<const char*>(data), size), state);

  Check(reply.kind.size() == qmx::service::kKindSize,
        "the reply's kind is eight characters");
  Check(reply.body.size() <= qmx::service::kMaxBodySize,
        "the reply's body fits its length field");
  bool good = reply.code == qmx::service::kOk;
  if (!good) Check(reply.body.empty(), "a bad request gets an empty body");
  // "statdnld" and "statupdt" are read back by "gtatdnld" and "gtatupdt".
  if (!good || (reply.kind != "statdnld" && reply.kind != "statupdt")) {
    Check(state.Get() == before, "only a good Set changes the state");
    return 0;
  }
  ServiceSettings stored = state.Get();
  Reply read = HandleRequest(Request("g" + reply.kind.substr(1), ""), state);
  Check(read.code == qmx::service::kOk, "a Get after a Set succeeds");
  Reply again = HandleRequest(Request(reply.kind, read.body), state);
  Check(again.code == qmx::service::kOk && state.Get() == stored,
        "a stored schedule reads back unchanged");
  return 0;
}
