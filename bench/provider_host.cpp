#include "bench/provider_host.h"

#include <dlfcn.h>

#include <functional>
#include <stdexcept>
#include <utility>

#include "host/utility.h"
#include "runtime/repository.h"

namespace qmx {
namespace bench {
namespace {

const char kClassName[] = "VELTRAX_UpdateManager";

Object Own(IWbemClassObject* object) {
  if (object == nullptr) return nullptr;
  return Object(object, std::mem_fn(&IWbemClassObject::Release));
}

// A new instance of the class, or of the method's input signature when a
// method is named; null when there is none.
Object Spawn(IWbemServices* services, const std::string& class_name,
             const char* method = nullptr) {
  IWbemClassObject* found = nullptr;
  services->GetObject(class_name, 0, nullptr, &found, nullptr);
  Object owner = Own(found);
  if (owner && method != nullptr) {
    found = nullptr;
    owner->GetMethod(method, 0, &found, nullptr);
    owner = Own(found);
  }
  IWbemClassObject* instance = nullptr;
  if (owner) owner->SpawnInstance(0, &instance);
  return Own(instance);
}

HRESULT Put(IWbemClassObject* object, const InputField& field) {
  const std::string& name = field.property;
  if (const bool* flag = std::get_if<bool>(&field.value)) {
    return CIWbemUtil::setBoolToIWbemClassObject(object, name, *flag);
  }
  if (const int* number = std::get_if<int>(&field.value)) {
    return CIWbemUtil::setIntToIWbemClassObject(object, name, *number);
  }
  return CIWbemUtil::setStringToIWbemClassObject(
      object, name, std::get<std::string>(field.value));
}

void Check(HRESULT status, const std::string& what) {
  if (FAILED(status)) throw std::runtime_error("cannot set " + what);
}

}  // namespace

ProviderHost::ProviderHost(const std::string& library,
                           const std::string& schema) {
  std::string error;
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  void* create = handle == nullptr ? nullptr : dlsym(handle, "create");
  if (create == nullptr) throw std::runtime_error(dlerror());
  services_ = LoadRepository({schema}, &error);
  if (services_ == nullptr) throw std::runtime_error(error);
  provider_ = reinterpret_cast<ProviderFactory>(create)();
  if (provider_ == nullptr) {
    services_->Release();
    throw std::runtime_error(library + ": create gave no provider");
  }
  provider_->SetServices(services_);
  context_ = CreateContext();
}

ProviderHost::~ProviderHost() {
  delete provider_;
  context_->Release();
  services_->Release();
}

Object ProviderHost::MakeInput(const std::string& method,
                               const std::vector<InputField>& fields) const {
  Object input = Spawn(services_, kClassName, method.c_str());
  if (!input) return input;
  for (const std::string& parameter : input->GetPropertyNames()) {
    Object embedded =
        Spawn(services_, input->GetEmbeddedClassName(parameter.c_str()));
    if (!embedded) continue;  // not an embedded object
    for (const InputField& field : fields) {
      if (field.parameter != parameter) continue;
      Check(Put(embedded.get(), field), parameter + "." + field.property);
    }
    Check(CIWbemUtil::setParameterClassToIWbemClassObject(
              input.get(), parameter, embedded.get()),
          parameter);
  }
  return input;
}

CallOutcome ProviderHost::CallWith(const std::string& method,
                                   IWbemClassObject* input) {
  RecordingSink sink;
  std::string path = kClassName;
  std::string name = method;
  CallOutcome outcome;
  outcome.status =
      provider_->ExecMethodAsync(&path[0], &name[0], 0, context_, input, &sink);
  outcome.indicated = static_cast<int>(sink.Indicated().size());
  int value = 0;
  if (outcome.indicated > 0) {
    CIWbemUtil::getIntFromIWbemClassObject(sink.Indicated().front(),
                                           "ReturnValue", &value);
  }
  outcome.return_value = static_cast<uint32_t>(value);
  return outcome;
}

}  // namespace bench
}  // namespace qmx
