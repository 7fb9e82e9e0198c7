// The reply handling of every method: the first byte picks the method (its
// place in the tests' method table), the rest is the update service's reply,
// played through a scripted transport into ExecMethodAsync with the product
// schema, the service installed and every input field set. Whatever the
// reply, the call must succeed with one output instance, open one link (none
// for a method that sends nothing), release every object it made, and return
// success, a rejected reply or the service's own code. The reply split as a
// body must give the items the sender could have joined.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/utility.h"
#include "provider/UpdateManager.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"
#include "tests/support/method_table.h"

namespace {

using qmx::support::kMethods;
using qmx_fuzz::Check;
using qmx_fuzz::ObjectPtr;

const char kClassName[] = "VELTRAX_UpdateManager";

// An instance of the named class, or of the input of its method; null if
// there is none.
ObjectPtr Spawn(IWbemServices* services, const std::string& name, const char* method = nullptr) {
  IWbemClassObject* found = nullptr;
  services->GetObject(name, 0, nullptr, &found, nullptr);
  ObjectPtr owner(found);
  if (owner != nullptr && method != nullptr) {
    found = nullptr;
    owner->GetMethod(method, 0, &found, nullptr);
    owner.reset(found);
  }
  IWbemClassObject* instance = nullptr;
  if (owner != nullptr) owner->SpawnInstance(0, &instance);
  return ObjectPtr(instance);
}

// A value of the field's type; a text holds a separator and an escape, so
// that the request's escaping runs too.
HRESULT PutValue(IWbemClassObject* to, const std::string& name) {
  VARIANT value;
  CIMTYPE type = 0;
  to->Get(name.c_str(), 0, &value, &type, nullptr);
  VariantClear(&value);
  if (type == CIM_BOOLEAN) return CIWbemUtil::setBoolToIWbemClassObject(to, name, true);
  if (type == CIM_SINT32) return CIWbemUtil::setIntToIWbemClassObject(to, name, -7);
  return CIWbemUtil::setStringToIWbemClassObject(to, name, "a;b@@@@c\\");
}

// The method's input with every field of every embedded object set; null
// for a method without input, as a host passes it.
ObjectPtr MakeInput(IWbemServices* services, const char* method) {
  ObjectPtr input = Spawn(services, kClassName, method);
  if (input == nullptr) return nullptr;
  for (const std::string& parameter : input->GetPropertyNames()) {
    ObjectPtr embedded = Spawn(services, input->GetEmbeddedClassName(parameter.c_str()));
    Check(embedded != nullptr, "the schema has every class the provider uses");
    for (const std::string& name : embedded->GetPropertyNames()) {
      Check(PutValue(embedded.get(), name) >= 0, "the schema takes every field");
    }
    Check(CIWbemUtil::setParameterClassToIWbemClassObject(input.get(), parameter,
                                                          embedded.get()) >= 0,
          "the input takes its embedded objects");
  }
  return input;
}

// Everything that lives across inputs: one provider, as a host keeps it.
struct Host {
  qmx::testing::TraceCapture capture{31};
  qmx::testing::FakePackages packages;
  IWbemServices* services = nullptr;
  IWbemContext* context = qmx::CreateContext();
  CVELTRAX_UpdateManager provider;
  std::vector<ObjectPtr> inputs;  // per entry of kMethods
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
  std::string path = kClassName;
  std::string name = kMethods[method].name;
  HRESULT status = g_host->provider.ExecMethodAsync(path.data(), name.data(), 0, g_host->context,
                                                    g_host->inputs[method].get(), &sink);
  Check(status == WBEM_S_NO_ERROR && sink.Statuses() == std::vector<HRESULT>{WBEM_S_NO_ERROR},
        "a served method succeeds whatever the reply, and says so once");
  Check(sink.Indicated().size() == 1, "the sink gets one output instance");
  Check(transport.Constructed() == (*kMethods[method].kind == '\0' ? 0 : 1),
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
  if (g_host->services == nullptr) std::fprintf(stderr, "%s\n", error.c_str());
  Check(g_host->services != nullptr, "the product schema loads");
  g_host->provider.SetServices(g_host->services);
  for (const auto& method : kMethods) {
    g_host->inputs.push_back(MakeInput(g_host->services, method.name));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string reply = qmx_fuzz::Bytes(data + 1, size - 1);
  int liveBefore = qmx::testing::LiveObjectCount();
  uint32_t value = Call(data[0] % std::size(kMethods), reply);
  Check(qmx::testing::LiveObjectCount() == liveBefore, "every object of the call is released");
  Check(Allowed(value, reply), "the return value is one the reply allows");
  CheckSplit(reply);
  return 0;
}
