// The reply handling of every operation: the first byte picks the method,
// the rest is the update service's reply, played through a scripted
// transport into ExecMethodAsync with the product schema, the service
// installed and valid input for the methods that take some. Whatever the
// reply, the call must succeed, open exactly one link, release every object
// it made, and return success, a rejected reply or the service's own code.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/utility.h"
#include "provider/UpdateManager.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"

namespace {

using qmx_fuzz::Check;
using qmx_fuzz::ObjectPtr;
using Util = CIWbemUtil;

const char kClassName[] = "VELTRAX_UpdateManager";

// The methods that run a request cycle; "GetProviderVersion" sends nothing.
const char* const kMethods[] = {
    "GetQmxStatus",         "ExecuteReboot",          "NoticeModuleUpdate",
    "DownloadAll",          "GetAutoDownloadSetting", "SetAutoDownloadSetting",
    "GetAutoUpdateSetting", "SetAutoUpdateSetting",   "UpdateAll",
    "RollbackAll",
};

ObjectPtr Spawn(IWbemClassObject* classObject) {
  IWbemClassObject* instance = nullptr;
  if (classObject != nullptr) classObject->SpawnInstance(0, &instance);
  return ObjectPtr(instance);
}

ObjectPtr ClassOf(IWbemServices* services, const std::string& name) {
  IWbemClassObject* classObject = nullptr;
  services->GetObject(name, 0, nullptr, &classObject, nullptr);
  Check(classObject != nullptr, "the schema has every class the provider uses");
  return ObjectPtr(classObject);
}

// A value of the field's type; a text holds a separator and an escape, so
// that the request's escaping runs too.
HRESULT PutValue(IWbemClassObject* to, const std::string& name) {
  VARIANT value;
  CIMTYPE type = 0;
  to->Get(name.c_str(), 0, &value, &type, nullptr);
  VariantClear(&value);
  if (type == CIM_BOOLEAN) return Util::setBoolToIWbemClassObject(to, name, true);
  if (type == CIM_SINT32) return Util::setIntToIWbemClassObject(to, name, -7);
  return Util::setStringToIWbemClassObject(to, name, "a;b@@@@c\\");
}

// The method's input parameters with a filled object in each embedded
// parameter; null for a method without input, as a host passes it.
ObjectPtr MakeInput(IWbemServices* services, const char* method) {
  IWbemClassObject* inClass = nullptr;
  ClassOf(services, kClassName)->GetMethod(method, 0, &inClass, nullptr);
  ObjectPtr signature(inClass);
  ObjectPtr input = Spawn(signature.get());
  if (input == nullptr) return nullptr;
  for (const std::string& parameter : input->GetPropertyNames()) {
    ObjectPtr embedded = Spawn(
        ClassOf(services, input->GetEmbeddedClassName(parameter.c_str())).get());
    for (const std::string& name : embedded->GetPropertyNames()) {
      Check(PutValue(embedded.get(), name) >= 0, "the schema takes every field");
    }
    Check(Util::setParameterClassToIWbemClassObject(
              input.get(), parameter, embedded.get()) >= 0,
          "the input takes its embedded objects");
  }
  return input;
}

// Everything that lives across inputs: one provider, as a host keeps it.
struct Host {
  qmx::testing::TraceCapture capture{31};
  qmx::testing::FakePackages packages;
  // Made and dropped within each input: it records every message sent, and
  // memory kept past an input makes libFuzzer look for leaks after it.
  std::optional<qmx::testing::ScriptedTransport> transport;
  IWbemServices* services = nullptr;
  IWbemContext* context = nullptr;
  CVELTRAX_UpdateManager* provider = nullptr;
  std::vector<ObjectPtr> inputs;  // per entry of kMethods
};
Host* g_host = nullptr;

// Success, a rejected reply, or the service's code: the four characters at
// offset 12 read as hexadecimal. The link keeps a reply up to its first NUL.
bool Allowed(uint32_t value, const std::string& reply) {
  if (value == 0 || value == static_cast<uint32_t>(kResultFailed)) return true;
  std::string received = reply.substr(0, reply.find('\0'));
  if (received.size() < 16) return false;
  std::string code = received.substr(12, 4);
  return value ==
         static_cast<uint32_t>(std::strtoul(code.c_str(), nullptr, 16));
}

// One method call with the reply queued; returns the method's return value.
uint32_t Call(size_t method, const std::string& reply) {
  g_host->transport->PushReply(reply);
  qmx::RecordingSink sink;
  std::string path = kClassName;
  std::string name = kMethods[method];
  HRESULT status = g_host->provider->ExecMethodAsync(
      path.data(), name.data(), 0, g_host->context,
      g_host->inputs[method].get(), &sink);
  Check(status == WBEM_S_NO_ERROR, "a served method succeeds whatever the reply");
  Check(sink.Statuses().size() == 1 && sink.Statuses()[0] == WBEM_S_NO_ERROR,
        "the sink gets status 0 once");
  Check(sink.Indicated().size() == 1, "the sink gets one output instance");
  int value = 0;
  Check(Util::getIntFromIWbemClassObject(sink.Indicated()[0],
                                               "ReturnValue", &value) >= 0,
        "the output instance has a return value");
  return static_cast<uint32_t>(value);
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
  g_host->context = qmx::CreateContext();
  g_host->provider = new CVELTRAX_UpdateManager();
  g_host->provider->SetServices(g_host->services);
  for (const char* method : kMethods) {
    g_host->inputs.push_back(MakeInput(g_host->services, method));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t method = data[0] % std::size(kMethods);
  std::string reply = qmx_fuzz::Bytes(data + 1, size - 1);
  int liveBefore = qmx::testing::LiveObjectCount();
  g_host->transport.emplace();

  uint32_t value = Call(method, reply);
  int links = g_host->transport->Constructed();
  g_host->transport.reset();
  g_host->capture.Clear();

  Check(qmx::testing::LiveObjectCount() == liveBefore,
        "every object of the call is released");
  Check(links == 1, "each call opens exactly one link");
  Check(Allowed(value, reply), "the return value is one the reply allows");
  return 0;
}
