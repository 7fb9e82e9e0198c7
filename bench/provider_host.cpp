#include "bench/provider_host.h"

#include <dlfcn.h>

#include <stdexcept>

#include "host/utility.h"
#include "runtime/repository.h"

namespace qmx {
namespace bench {
namespace {

const char kClassName[] = "VELTRAX_UpdateManager";

void Check(HRESULT status, const std::string& what) {
  if (FAILED(status)) throw std::runtime_error(what + " failed");
}

void Release(IWbemClassObject* object) {
  if (object != nullptr) object->Release();
}

// The schedule a SetAutoUpdateSetting call carries.
void FillUpdateSchedule(IWbemClassObject* schedule) {
  Check(CIWbemUtil::setBoolToIWbemClassObject(schedule, "IsAutoSetting", true),
        "IsAutoSetting");
  Check(CIWbemUtil::setIntToIWbemClassObject(schedule, "RepeatType", 2),
        "RepeatType");
  Check(CIWbemUtil::setStringToIWbemClassObject(schedule, "DayOfWeek", "Sun"),
        "DayOfWeek");
  Check(CIWbemUtil::setStringToIWbemClassObject(schedule, "Date", ""), "Date");
  Check(CIWbemUtil::setStringToIWbemClassObject(schedule, "Time", "04:30"),
        "Time");
}

}  // namespace

ProviderHost::ProviderHost(const std::string& library_path,
                           const std::string& schema_path) {
  std::string error;
  services_ = LoadRepository({schema_path}, &error);
  if (services_ == nullptr) throw std::runtime_error(error);
  // The library stays loaded for the life of the program, as in a host.
  void* library = dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) throw std::runtime_error(dlerror());
  auto factory = reinterpret_cast<ProviderFactory>(dlsym(library, "create"));
  if (factory == nullptr) throw std::runtime_error("no factory in library");
  provider_ = factory();
  provider_->SetServices(services_);
  context_ = CreateContext();
}

ProviderHost::~ProviderHost() {
  for (auto& input : inputs_) Release(input.second);
  delete provider_;
  context_->Release();
  services_->Release();
}

uint32_t ProviderHost::Call(const std::string& method) {
  IWbemClassObject* input = InputFor(method);
  RecordingSink sink;
  std::string path = kClassName;
  std::string name = method;
  HRESULT status = provider_->ExecMethodAsync(&path[0], &name[0], 0, context_,
                                              input, &sink);
  if (status != WBEM_S_NO_ERROR || sink.Indicated().size() != 1) {
    throw std::runtime_error(method + ": the call failed");
  }
  VARIANT value;
  VariantInit(&value);
  Check(sink.Indicated().front()->Get("ReturnValue", 0, &value, nullptr,
                                      nullptr),
        "ReturnValue");
  uint32_t result = value.ulVal;
  VariantClear(&value);
  return result;
}

IWbemClassObject* ProviderHost::MakeInstance(const std::string& class_name) {
  IWbemClassObject* class_object = nullptr;
  Check(services_->GetObject(class_name, 0, nullptr, &class_object, nullptr),
        class_name);
  IWbemClassObject* instance = nullptr;
  HRESULT status = class_object->SpawnInstance(0, &instance);
  class_object->Release();
  Check(status, class_name + " instance");
  return instance;
}

IWbemClassObject* ProviderHost::InputFor(const std::string& method) {
  auto known = inputs_.find(method);
  if (known != inputs_.end()) return known->second;
  IWbemClassObject* input = nullptr;
  if (method == "SetAutoUpdateSetting") {
    IWbemClassObject* class_object = nullptr;
    Check(services_->GetObject(kClassName, 0, nullptr, &class_object, nullptr),
          kClassName);
    IWbemClassObject* signature = nullptr;
    class_object->GetMethod(method.c_str(), 0, &signature, nullptr);
    class_object->Release();
    if (signature == nullptr) throw std::runtime_error(method + ": no input");
    signature->SpawnInstance(0, &input);
    signature->Release();
    IWbemClassObject* schedule = MakeInstance("Veltrax_UpdateSchedule");
    FillUpdateSchedule(schedule);
    HRESULT status = CIWbemUtil::setParameterClassToIWbemClassObject(
        input, "UpdateSchedule", schedule);
    schedule->Release();
    Check(status, "UpdateSchedule");
  }
  inputs_[method] = input;
  return input;
}

}  // namespace bench
}  // namespace qmx
