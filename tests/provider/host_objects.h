// The input of a method call as a host builds it, for the provider tests and
// the reply fuzz target: an instance of the method's input with a fresh
// instance in every embedded parameter and the given fields set.

#ifndef QMX_TESTS_PROVIDER_HOST_OBJECTS_H_
#define QMX_TESTS_PROVIDER_HOST_OBJECTS_H_

#include <string>
#include <utility>
#include <vector>

#include "common/object_ref.h"
#include "host/utility.h"
#include "host/wbem.h"

namespace qmx_test {

using ObjectPtr = qmx::Ref<IWbemClassObject>;

// "Parameter.Property" of an embedded input object and its value as text,
// converted to the property's type: {"UpdateSchedule.RepeatType", "-1"}.
using Fields = std::vector<std::pair<std::string, std::string>>;

// A new instance of the named class, or of the input of its method; null if
// there is none.
inline ObjectPtr Spawn(IWbemServices* services, const std::string& name,
                       const char* method = nullptr) {
  IWbemClassObject* found = nullptr;
  if (services != nullptr) services->GetObject(name, 0, nullptr, &found, nullptr);
  ObjectPtr owner(found);
  if (owner && method != nullptr) {
    found = nullptr;
    owner->GetMethod(method, 0, &found, nullptr);
    owner = ObjectPtr(found);
  }
  IWbemClassObject* instance = nullptr;
  if (owner) owner->SpawnInstance(0, &instance);
  return ObjectPtr(instance);
}

inline HRESULT PutText(IWbemClassObject* object, const std::string& name, const std::string& text) {
  VARIANT value;
  VariantInit(&value);
  CIMTYPE type = CIM_STRING;
  object->Get(name.c_str(), 0, &value, &type, nullptr);
  VariantClear(&value);
  if (type == CIM_BOOLEAN) return CIWbemUtil::setBoolToIWbemClassObject(object, name, text == "true");
  if (type == CIM_SINT32) return CIWbemUtil::setIntToIWbemClassObject(object, name, std::stoi(text));
  return CIWbemUtil::setStringToIWbemClassObject(object, name, text);
}

// The method's input; null for a method without input, as a host passes it,
// or when a field cannot be set.
inline ObjectPtr MakeInput(IWbemServices* services, const std::string& method,
                           const Fields& fields = {}) {
  ObjectPtr input = Spawn(services, "VELTRAX_UpdateManager", method.c_str());
  if (!input) return input;
  for (const std::string& parameter : input->GetPropertyNames()) {
    ObjectPtr embedded = Spawn(services, input->GetEmbeddedClassName(parameter.c_str()));
    for (const auto& [path, value] : fields) {
      if (path.rfind(parameter + ".", 0) != 0) continue;
      if (FAILED(PutText(embedded.get(), path.substr(parameter.size() + 1), value))) return {};
    }
    CIWbemUtil::setParameterClassToIWbemClassObject(input.get(), parameter, embedded.get());
  }
  return input;
}

}  // namespace qmx_test

#endif  // QMX_TESTS_PROVIDER_HOST_OBJECTS_H_
