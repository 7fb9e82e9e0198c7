// The reply handling of every operation: the first byte picks the method,
// the rest is the update service's reply, played through a scripted
// transport into ExecMethodAsync with the product schema, the service
// installed and valid input for the methods that take some. Whatever the
// reply, the call must succeed, open exactly one link, release every object
// it made, and return success, a rejected reply or the service's own code.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host/utility.h"
#include "provider/UpdateManager.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"

namespace {

using qmx_fuzz::Check;
using qmx_fuzz::ObjectPtr;

const char kClassName[] = "VELTRAX_UpdateManager";

// The methods that run a request cycle; "GetProviderVersion" sends nothing.
const char* const kMethods[] = {
    "GetQmxStatus",           "ExecuteReboot",        "NoticeModuleUpdate",
    "DownloadAll",            "GetAutoDownloadSetting",
    "SetAutoDownloadSetting", "GetAutoUpdateSetting", "SetAutoUpdateSetting",
    "UpdateAll",              "RollbackAll",
};
constexpr size_t kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);

// Input values for the embedded objects of the writers, with separators and
// escapes in the texts so that the request's escaping runs too.
struct Field {
  const char* name;
  std::variant<bool, int, const char*> value;
};
const Field kInputFields[] = {
    {"IsAutoSetting", true},
    {"RepeatType", 2},
    {"DayOfWeek", "Mon;Tue"},
    {"Date", "2024/01/31"},
    {"Time", "03:00"},
    {"DownloadType", 1},
    {"WebSiteUrl", "http://updates.example/a;b"},
    {"ProxyAddress", "proxy@@@@x"},
    {"ProxyPort", "08080"},
    {"ProxyUser", "user"},
    {"ProxyPassword", "p;w"},
    {"CacheServerPath", "\\\\cache\\share"},
    {"CacheServerUser", "cu"},
    {"CacheServerPassword", "cp"},
    {"TempDriveLetter", "E"},
    {"ExternalMediaPath", "/media/usb"},
};

void PutField(IWbemClassObject* object, const Field& field) {
  HRESULT status = WBEM_E_FAILED;
  if (const bool* flag = std::get_if<bool>(&field.value)) {
    status = CIWbemUtil::setBoolToIWbemClassObject(object, field.name, *flag);
  } else if (const int* number = std::get_if<int>(&field.value)) {
    status = CIWbemUtil::setIntToIWbemClassObject(object, field.name, *number);
  } else {
    status = CIWbemUtil::setStringToIWbemClassObject(
        object, field.name, std::get<const char*>(field.value));
  }
  Check(status >= 0, "the schema takes every input field");
}

ObjectPtr SpawnOf(IWbemServices* services, const std::string& className) {
  IWbemClassObject* classObject = nullptr;
  services->GetObject(className, 0, nullptr, &classObject, nullptr);
  ObjectPtr owner(classObject);
  Check(owner != nullptr, "the schema has every class the provider uses");
  IWbemClassObject* instance = nullptr;
  owner->SpawnInstance(0, &instance);
  return ObjectPtr(instance);
}

// An instance of className with every field of kInputFields it declares.
ObjectPtr FilledInstance(IWbemServices* services, const std::string& className) {
  ObjectPtr instance = SpawnOf(services, className);
  for (const std::string& property : instance->GetPropertyNames()) {
    for (const Field& field : kInputFields) {
      if (property == field.name) PutField(instance.get(), field);
    }
  }
  return instance;
}

// The method's input parameters with a filled object in each embedded
// parameter; null for a method without input, as a host passes it.
ObjectPtr MakeInput(IWbemServices* services, const char* method) {
  IWbemClassObject* classObject = nullptr;
  services->GetObject(kClassName, 0, nullptr, &classObject, nullptr);
  ObjectPtr owner(classObject);
  IWbemClassObject* inClass = nullptr;
  owner->GetMethod(method, 0, &inClass, nullptr);
  ObjectPtr signature(inClass);
  if (signature == nullptr) return nullptr;
  IWbemClassObject* instance = nullptr;
  signature->SpawnInstance(0, &instance);
  ObjectPtr input(instance);
  for (const std::string& parameter : input->GetPropertyNames()) {
    std::string className = input->GetEmbeddedClassName(parameter.c_str());
    if (className.empty()) continue;
    ObjectPtr embedded = FilledInstance(services, className);
    Check(CIWbemUtil::setParameterClassToIWbemClassObject(
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

IWbemServices* LoadSchema() {
  std::string error;
  IWbemServices* services = qmx::LoadRepository({QMX_SCHEMA_FILE}, &error);
  if (services == nullptr) std::fprintf(stderr, "%s\n", error.c_str());
  Check(services != nullptr, "the product schema loads");
  return services;
}

// The return value as the caller reads it.
uint32_t ReturnValue(IWbemClassObject* out) {
  int value = 0;
  Check(CIWbemUtil::getIntFromIWbemClassObject(out, "ReturnValue", &value) >= 0,
        "the output instance has a return value");
  return static_cast<uint32_t>(value);
}

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
  return ReturnValue(sink.Indicated()[0]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qmx_fuzz::TraceToMemoryOnly();
  g_host = new Host();
  g_host->packages.Install("qmxupdtmngr", "1.0");
  g_host->services = LoadSchema();
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
  size_t method = data[0] % kMethodCount;
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
