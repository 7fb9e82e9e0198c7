// The update service's request handler on arbitrary bytes, against a state
// kept in memory. Whatever arrives, the reply must echo an eight-character
// kind and carry a body its length field can state; a bad request gets an
// empty body and changes nothing; only a good Set changes the settings, and
// what it stored survives the wire: setting again what the matching Get
// reads back changes nothing.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/protocol.h"
#include "service/request_handler.h"
#include "service/service_state.h"
#include "tests/support/wire_lists.h"

namespace {

using qmx::service::HandleRequest;
using qmx::service::Reply;
using qmx::service::ServiceSettings;
using qmx::service::ServiceState;
using qmx_fuzz::Check;

// Settings as clients could have left them: texts with separators, a
// trailing "@" and long ones, so that Gets have something to escape.
ServiceSettings Initial() {
  ServiceSettings settings = ServiceSettings::Defaults();
  size_t n = 0;
  auto awkward = [&n](const std::string& name) {
    const std::string texts[] = {name + ";" + name, name + "@", "", "\\" + std::string(300, ';')};
    return texts[n++ % std::size(texts)];
  };
  for (size_t i = 0; i < qmx::service::kStoredSettingCount; ++i) {
    const qmx::service::StoredSetting& row = qmx::service::kStoredSettings[i];
    if (row.list != nullptr) settings.*row.list = qmx::support::ValuesOf(*row.fields, -7, awkward);
  }
  settings.reboot = 0x80000001u;
  return settings;
}

std::string Request(const std::string& kind, const std::string& body) {
  return qmx::service::Hex4(body.size()) + kind + "0000" + body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ServiceSettings kInitial = Initial();
  ServiceState state(kInitial, nullptr, nullptr);
  ServiceSettings before = state.Get();

  Reply reply = HandleRequest(std::string(reinterpret_cast<const char*>(data), size), state);
  qmx_fuzz::g_accepted = reply.code == qmx::service::kOk;

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
