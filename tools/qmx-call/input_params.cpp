#include "tools/qmx-call/input_params.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

namespace qmx {
namespace call {
namespace {

std::string Join(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) {
    if (!joined.empty()) joined += ", ";
    joined += name;
  }
  return joined;
}

// The declared spelling of name among the object's properties; false with
// *error naming the known ones when there is none. what describes the
// object in the message.
bool FindProperty(IWbemClassObject* object, const std::string& name,
                  const std::string& what, std::string* declared,
                  std::string* error) {
  std::vector<std::string> names = object->GetPropertyNames();
  for (const std::string& candidate : names) {
    if (strcasecmp(candidate.c_str(), name.c_str()) == 0) {
      *declared = candidate;
      return true;
    }
  }
  *error = what + " has no \"" + name + "\"";
  if (!names.empty()) *error += " (known: " + Join(names) + ")";
  return false;
}

bool ParseBoolean(const std::string& text, bool* value) {
  const char* t = text.c_str();
  if (strcasecmp(t, "true") == 0 || strcmp(t, "1") == 0) {
    *value = true;
    return true;
  }
  if (strcasecmp(t, "false") == 0 || strcmp(t, "0") == 0) {
    *value = false;
    return true;
  }
  return false;
}

// A decimal integer ('-' allowed only when minimum is negative) within
// [minimum, maximum]. Digits are bounded before they are added up, so no
// input can overflow the sum.
bool ParseDecimal(const std::string& text, int64_t minimum, int64_t maximum,
                  int64_t* value) {
  bool negative = !text.empty() && text[0] == '-' && minimum < 0;
  size_t first = negative ? 1 : 0;
  if (text.size() == first || text.size() - first > 10) return false;
  int64_t magnitude = 0;
  for (size_t i = first; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    magnitude = magnitude * 10 + (text[i] - '0');
  }
  *value = negative ? -magnitude : magnitude;
  return *value >= minimum && *value <= maximum;
}

const char* TypeName(CIMTYPE type) {
  switch (type) {
    case CIM_BOOLEAN:
      return "boolean (true, false, 1 or 0)";
    case CIM_SINT32:
      return "sint32 (decimal, -2147483648 to 2147483647)";
    case CIM_UINT32:
      return "uint32 (decimal, 0 to 4294967295)";
    default:
      return "value of this type";
  }
}

// Sets property name of instance from text, typed by the property.
bool PutText(IWbemClassObject* instance, const std::string& name,
             const std::string& text, const std::string& label,
             std::string* error) {
  CIMTYPE type = 0;
  HRESULT status = instance->Get(name.c_str(), 0, nullptr, &type, nullptr);
  VARIANT value;
  VariantInit(&value);
  if (SUCCEEDED(status) && !ParseValue(type, text, &value, error)) {
    *error = label + ": " + *error;
    return false;
  }
  if (SUCCEEDED(status)) status = instance->Put(name.c_str(), 0, &value, type);
  VariantClear(&value);
  if (FAILED(status)) {
    char code[16];
    snprintf(code, sizeof(code), "0x%08x", static_cast<unsigned>(status));
    *error = label + ": the host refused the value (" + code + ")";
    return false;
  }
  return true;
}

// Fills an input instance one assignment at a time.
class InputBuilder {
 public:
  InputBuilder(IWbemServices* services, IWbemClassObject* inClass)
      : services_(services), in_class_(inClass) {}

  bool Start(std::string* error);
  bool Apply(const Assignment& assignment, std::string* error);
  // Stores the embedded instances and hands over the input instance.
  bool Finish(Ref<IWbemClassObject>* input, std::string* error);

 private:
  // The embedded instance of parameter (declared spelling), made on first
  // use.
  IWbemClassObject* Embedded(const std::string& parameter, std::string* error);

  IWbemServices* const services_;
  IWbemClassObject* const in_class_;
  Ref<IWbemClassObject> instance_;
  std::vector<std::pair<std::string, Ref<IWbemClassObject>>> embedded_;
};

bool InputBuilder::Start(std::string* error) {
  if (SUCCEEDED(in_class_->SpawnInstance(0, instance_.Out()))) return true;
  *error = "cannot make an instance of the input parameters";
  return false;
}

bool InputBuilder::Apply(const Assignment& assignment, std::string* error) {
  std::string parameter;
  if (!FindProperty(instance_.get(), assignment.parameter,
                    "the method's input", &parameter, error)) {
    return false;
  }
  bool embedded = !in_class_->GetEmbeddedClassName(parameter.c_str()).empty();
  if (assignment.property.empty() && embedded) {
    *error = parameter + " is an embedded object: give " + parameter +
             ".PROPERTY=VALUE";
    return false;
  }
  if (assignment.property.empty()) {
    return PutText(instance_.get(), parameter, assignment.value,
                   assignment.text, error);
  }
  if (!embedded) {
    *error = parameter + " is not an embedded object: give " + parameter +
             "=VALUE";
    return false;
  }
  IWbemClassObject* object = Embedded(parameter, error);
  std::string property;
  return object != nullptr &&
         FindProperty(object, assignment.property, object->GetClassName(),
                      &property, error) &&
         PutText(object, property, assignment.value, assignment.text, error);
}

IWbemClassObject* InputBuilder::Embedded(const std::string& parameter,
                                         std::string* error) {
  for (auto& entry : embedded_) {
    if (entry.first == parameter) return entry.second.get();
  }
  std::string class_name = in_class_->GetEmbeddedClassName(parameter.c_str());
  Ref<IWbemClassObject> cls;
  Ref<IWbemClassObject> object;
  if (FAILED(services_->GetObject(class_name, 0, nullptr, cls.Out(), nullptr)) ||
      FAILED(cls->SpawnInstance(0, object.Out()))) {
    *error = "cannot make an instance of " + class_name + " for " + parameter;
    return nullptr;
  }
  embedded_.emplace_back(parameter, std::move(object));
  return embedded_.back().second.get();
}

bool InputBuilder::Finish(Ref<IWbemClassObject>* input, std::string* error) {
  for (auto& entry : embedded_) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UNKNOWN;
    value.punkVal = entry.second.get();  // Put takes its own reference
    if (FAILED(instance_->Put(entry.first.c_str(), 0, &value, CIM_OBJECT))) {
      *error = "cannot store " + entry.first + " in the input parameters";
      return false;
    }
  }
  *input = std::move(instance_);
  return true;
}

}  // namespace

bool ParseValue(CIMTYPE type, const std::string& text, VARIANT* value,
                std::string* error) {
  VariantInit(value);
  bool parsed = false;
  int64_t number = 0;
  switch (type) {
    case CIM_STRING:
      value->vt = VT_BSTR;
      value->bstrVal = SysAllocString(text.c_str());
      return true;
    case CIM_BOOLEAN:
      value->vt = VT_BOOL;
      parsed = ParseBoolean(text, &value->boolVal);
      break;
    case CIM_SINT32:
      value->vt = VT_I4;
      parsed = ParseDecimal(text, INT32_MIN, INT32_MAX, &number);
      value->lVal = static_cast<int32_t>(number);
      break;
    case CIM_UINT32:
      value->vt = VT_UI4;
      parsed = ParseDecimal(text, 0, UINT32_MAX, &number);
      value->ulVal = static_cast<uint32_t>(number);
      break;
    default:
      break;
  }
  if (!parsed) {
    value->vt = VT_EMPTY;
    *error = "\"" + text + "\" is not a " + TypeName(type);
  }
  return parsed;
}

bool BuildInput(IWbemServices* services, IWbemClassObject* inClass,
                const std::vector<Assignment>& assignments,
                Ref<IWbemClassObject>* input, std::string* error) {
  InputBuilder builder(services, inClass);
  if (!builder.Start(error)) return false;
  for (const Assignment& assignment : assignments) {
    if (!builder.Apply(assignment, error)) return false;
  }
  return builder.Finish(input, error);
}

}  // namespace call
}  // namespace qmx
