// The reply handling of every method: the first byte picks the method (its
// place among the samples, modulo their count), the rest is the update service's reply,
// played through a scripted transport into ExecMethodAsync with the product
// schema, the service installed and an object in every embedded input
// parameter (its fields unset: they shape the request, not the handling of
// the reply). Whatever the reply, the call must succeed with one output
// instance, open one link (none for a method that sends nothing), release
// every object it made, and return success, a rejected reply or the
// service's own code. The reply split as a body must give the items the
// sender could have joined.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <list>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "provider/UpdateManager.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"
#include "tests/provider/host_objects.h"
#include "tests/support/samples.h"

namespace {

using qmx::support::Samples;
using qmx_fuzz::Check;
using qmx_test::ObjectPtr;

// Everything that lives across inputs: one provider, as a host keeps it.
struct Host {
  qmx::testing::TraceCapture capture{31};
  qmx::testing::FakePackages packages;
  IWbemServices* services = nullptr;
  IWbemContext* context = qmx::CreateContext();
  CVELTRAX_UpdateManager provider;
  std::vector<ObjectPtr> inputs;  // per sample
};
Host* g_host = nullptr;

// Success, a rejected reply, or the service's code: the four characters at
// offset 12 read as hexadecimal. The link keeps a reply up to its first NUL.
bool Allowed(uint32_t value, const std::string& reply) {
  if (value == 0 || value == static_cast<uint32_t>(kResultFailed)) return true;
  std::string received = reply.substr(0, reply.find('\0'));
  return received.size() >= 16 &&
         value == static_cast<uint32_t>(std::strtoul(received.substr(12, 4).c_str(), nullptr, 16));
}

// One call with the reply queued on a transport of its own, which records
// every message and so must not outlive the input; the method's return value.
uint32_t Call(size_t method, const std::string& reply) {
  qmx::testing::ScriptedTransport transport;
  transport.PushReply(reply);
  qmx::RecordingSink sink;
  std::string path = "VELTRAX_UpdateManager";
  std::string name = Samples()[method].method;
  HRESULT status = g_host->provider.ExecMethodAsync(path.data(), name.data(), 0, g_host->context,
                                                    g_host->inputs[method].get(), &sink);
  Check(status == WBEM_S_NO_ERROR && sink.Statuses() == std::vector<HRESULT>{WBEM_S_NO_ERROR},
        "a served method succeeds whatever the reply, and says so once");
  Check(sink.Indicated().size() == 1, "the sink gets one output instance");
  Check(transport.Constructed() == (Samples()[method].request.empty() ? 0 : 1),
        "each call that sends opens exactly one link");
  int value = 0;
  Check(CIWbemUtil::getIntFromIWbemClassObject(sink.Indicated()[0], "ReturnValue", &value) >= 0,
        "the output instance has a return value");
  g_host->capture.Clear();
  return static_cast<uint32_t>(value);
}

// One item more than separators, none holding "@@@@" or "@;" (unescaping
// turns a run of n "@" into n/4 ";" and n%4 "@", the one form it gives), and
// escaping and joining them gives the body back.
void CheckSplit(const std::string& body) {
  std::list<std::string> items = g_host->provider.GetParameter(body);
  g_host->capture.Clear();
  Check(items.size() == static_cast<size_t>(std::count(body.begin(), body.end(), ';')) + 1,
        "one item more than separators");
  std::string joined;
  for (const std::string& item : items) {
    Check(item.find("@@@@") == std::string::npos && item.find("@;") == std::string::npos,
          "items are fully unescaped");
    if (&item != &items.front()) joined += ';';
    for (char c : item) joined += c == ';' ? std::string("@@@@") : std::string(1, c);
  }
  Check(joined == body, "escaping and joining gives the body back");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qmx_fuzz::TraceToMemoryOnly();
  g_host = new Host();
  g_host->packages.Install("qmxupdtmngr", "1.0");
  std::string error;
  g_host->services = qmx::LoadRepository({QMX_SCHEMA_FILE}, &error);
  Check(g_host->services != nullptr, "the product schema loads");
  g_host->provider.SetServices(g_host->services);
  for (const auto& sample : Samples()) {
    g_host->inputs.push_back(qmx_test::MakeInput(g_host->services, sample.method));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);
  int liveBefore = qmx::testing::LiveObjectCount();
  uint32_t value = Call(data[0] % Samples().size(), reply);
  qmx_fuzz::g_accepted = value == 0;
  Check(qmx::testing::LiveObjectCount() == liveBefore, "every object of the call is released");
  Check(Allowed(value, reply), "the return value is one the reply allows");
  CheckSplit(reply);
  return 0;
}
