#include "tests/support/provider_host.h"

#include <dlfcn.h>

#include <memory>
#include <stdexcept>

#include "host/utility.h"
#include "runtime/repository.h"

namespace qmx {
namespace support {
namespace {

const char kClassName[] = "VELTRAX_UpdateManager";

struct Releaser {
  void operator()(IWbemClassObject* object) const {
    if (object != nullptr) object->Release();
  }
};
using ObjectPtr = std::unique_ptr<IWbemClassObject, Releaser>;

ProviderFactory OpenFactory(const std::string& library) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(dlerror());
  void* symbol = dlsym(handle, "create");
  if (symbol == nullptr) throw std::runtime_error(library + ": no create");
  return reinterpret_cast<ProviderFactory>(symbol);
}

HRESULT Put(IWbemClassObject* object, const InputField& field) {
  const auto& value = field.value;
  if (const bool* flag = std::get_if<bool>(&value)) {
    return CIWbemUtil::setBoolToIWbemClassObject(object, field.property, *flag);
  }
  if (const int* number = std::get_if<int>(&value)) {
    return CIWbemUtil::setIntToIWbemClassObject(object, field.property,
                                                *number);
  }
  return CIWbemUtil::setStringToIWbemClassObject(object, field.property,
                                                 std::get<std::string>(value));
}

}  // namespace

ProviderHost::ProviderHost(const std::string& library,
                           const std::string& schema) {
  std::string error;
  services_ = LoadRepository({schema}, &error);
  if (services_ == nullptr) throw std::runtime_error(error);
  ProviderFactory factory = OpenFactory(library);
  provider_ = factory();
  if (provider_ == nullptr) {
    services_->Release();
    throw std::runtime_error(library + ": create gave no provider");
  }
  provider_->SetServices(services_);
}

ProviderHost::~ProviderHost() {
  delete provider_;
  services_->Release();
}

CallOutcome ProviderHost::Call(const std::string& method,
                               const std::vector<InputField>& fields) {
  ObjectPtr input(MakeInput(method, fields));
  RecordingSink sink;
  IWbemContext* context = CreateContext();
  std::string path = kClassName;
  std::string name = method;
  CallOutcome outcome;
  outcome.status = provider_->ExecMethodAsync(&path[0], &name[0], 0, context,
                                              input.get(), &sink);
  context->Release();
  outcome.indicated = static_cast<int>(sink.Indicated().size());
  if (outcome.indicated > 0) {
    int value = 0;
    CIWbemUtil::getIntFromIWbemClassObject(sink.Indicated().front(),
                                           "ReturnValue", &value);
    outcome.return_value = static_cast<uint32_t>(value);
  }
  return outcome;
}

IWbemClassObject* ProviderHost::MakeInstance(const std::string& class_name) {
  IWbemClassObject* class_object = nullptr;
  services_->GetObject(class_name, 0, nullptr, &class_object, nullptr);
  ObjectPtr owner(class_object);
  IWbemClassObject* instance = nullptr;
  if (owner) owner->SpawnInstance(0, &instance);
  if (instance == nullptr) throw std::runtime_error("no " + class_name);
  return instance;
}

// Null for a method without input parameters, as a host passes it.
IWbemClassObject* ProviderHost::MakeInput(
    const std::string& method, const std::vector<InputField>& fields) {
  IWbemClassObject* class_object = nullptr;
  services_->GetObject(kClassName, 0, nullptr, &class_object, nullptr);
  ObjectPtr owner(class_object);
  IWbemClassObject* in_class = nullptr;
  if (owner) owner->GetMethod(method.c_str(), 0, &in_class, nullptr);
  ObjectPtr signature(in_class);
  if (!signature) return nullptr;
  IWbemClassObject* instance = nullptr;
  signature->SpawnInstance(0, &instance);
  ObjectPtr input(instance);
  for (const std::string& parameter : input->GetPropertyNames()) {
    std::string class_name = input->GetEmbeddedClassName(parameter.c_str());
    if (class_name.empty()) continue;
    ObjectPtr embedded(MakeInstance(class_name));
    for (const InputField& field : fields) {
      if (field.parameter == parameter && Put(embedded.get(), field) < 0) {
        throw std::runtime_error("cannot set " + parameter + "." +
                                 field.property);
      }
    }
    if (CIWbemUtil::setParameterClassToIWbemClassObject(
            input.get(), parameter, embedded.get()) < 0) {
      throw std::runtime_error("cannot set " + parameter);
    }
  }
  return input.release();
}

}  // namespace support
}  // namespace qmx
