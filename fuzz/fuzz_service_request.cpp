// The update service's request handler on arbitrary bytes, against a state
// kept in memory. Whatever arrives, the reply must echo an eight-character
// kind and carry a body its length field can state; a bad request gets an
// empty body and changes nothing; only a good Set changes the settings, and
// what it stored reads back unchanged through the matching Get.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "service/protocol.h"
#include "service/request_handler.h"
#include "service/service_state.h"

namespace {

using qmx::service::Reply;
using qmx::service::ServiceSettings;
using qmx::service::ServiceState;
using qmx_fuzz::Check;

// Settings as clients could have left them: texts with separators, a
// trailing "@" and long values, so that Gets have something to escape.
ServiceSettings Initial() {
  ServiceSettings settings = ServiceSettings::Defaults();
  settings.download = {"1",      "2",        "Mon;Tue", "2024/01/31", "03:00",
                       "-7",     "http://a;b", "proxy@", "08080",     "user",
                       ";p;w;",  "\\\\cache", "cu",      "cp",         "E"};
  settings.update = {"0", "2147483647", "Sunday", "", "23:59"};
  settings.status = 0x00A5;
  settings.reboot = 0x80000001u;
  return settings;
}

struct Schedule {
  const char* setKind;
  const char* getKind;
  std::vector<std::string> ServiceSettings::*values;
};
const Schedule kSchedules[] = {
    {"statdnld", "gtatdnld", &ServiceSettings::download},
    {"statupdt", "gtatupdt", &ServiceSettings::update},
};

const Schedule* ScheduleSetBy(const std::string& kind) {
  for (const Schedule& schedule : kSchedules) {
    if (kind == schedule.setKind) return &schedule;
  }
  return nullptr;
}

std::string EmptyRequest(const std::string& kind) {
  return "0000" + kind + "0000";
}

// The stored schedule must survive the wire: the Get's body decodes to it.
void CheckReadsBack(const Schedule& schedule, ServiceState& state) {
  Reply reply =
      qmx::service::HandleRequest(EmptyRequest(schedule.getKind), state);
  Check(reply.code == qmx::service::kOk, "a Get after a Set succeeds");
  Check(qmx::service::DecodeValues(reply.body) == state.Get().*schedule.values,
        "a stored schedule reads back unchanged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string request = qmx_fuzz::Bytes(data, size);
  ServiceState state(Initial(), nullptr, nullptr);
  ServiceSettings before = state.Get();

  Reply reply = qmx::service::HandleRequest(request, state);

  Check(reply.kind.size() == qmx::service::kKindSize,
        "the reply's kind is eight characters");
  Check(reply.body.size() <= qmx::service::kMaxBodySize,
        "the reply's body fits its length field");
  bool good = reply.code == qmx::service::kOk;
  if (!good) Check(reply.body.empty(), "a bad request gets an empty body");
  const Schedule* schedule = good ? ScheduleSetBy(reply.kind) : nullptr;
  if (schedule == nullptr) {
    Check(state.Get() == before, "only a good Set changes the state");
    return 0;
  }
  CheckReadsBack(*schedule, state);
  return 0;
}
