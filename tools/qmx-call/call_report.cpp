#include "tools/qmx-call/call_report.h"

#include <cstdio>
#include <vector>

namespace qmx {
namespace call {
namespace {

const char kReturnValue[] = "ReturnValue";

struct CodeName {
  uint32_t code;
  const char* name;
};

const CodeName kStatusNames[] = {
    {0x00000000u, "success"},
    {0x80041001u, "generic failure"},
    {0x80041002u, "not found"},
    {0x80041005u, "type mismatch"},
    {0x80041006u, "out of memory"},
    {0x80041008u, "invalid parameter"},
    {0x8004100Cu, "not supported"},
    {0x80041010u, "invalid class"},
    {0x80041016u, "illegal operation"},
    {0x8004102Eu, "invalid method"},
    {0x80041055u, "method not implemented"},
    {0x80000001u, "method not declared"},
};

const CodeName kReturnValueNames[] = {
    {0x00000000u, "success"},
    {0x00001001u, "send or receive failed"},
    {0x00001002u, "service link in use"},
    {0x00001003u, "update service not installed"},
    {0x80000001u, "link, reply or parameter failure"},
    {0x80000002u, "exception in the provider"},
};

template <size_t N>
std::string Lookup(const CodeName (&table)[N], uint32_t code) {
  for (const CodeName& entry : table) {
    if (entry.code == code) return entry.name;
  }
  return "";
}

std::string Hex32(uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string Decimal(int64_t value) {
  char text[32];
  snprintf(text, sizeof(text), "%lld", static_cast<long long>(value));
  return text;
}

// One property's value, read from an object and cleared when done. A
// property that cannot be read counts as NULL.
class PropertyValue {
 public:
  PropertyValue(IWbemClassObject* object, const std::string& name) {
    VariantInit(&value_);
    if (object == nullptr ||
        FAILED(object->Get(name.c_str(), 0, &value_, nullptr, nullptr))) {
      VariantInit(&value_);
    }
  }
  ~PropertyValue() { VariantClear(&value_); }
  PropertyValue(const PropertyValue&) = delete;
  PropertyValue& operator=(const PropertyValue&) = delete;

  const VARIANT& get() const { return value_; }
  bool IsNull() const {
    return value_.vt == VT_NULL || value_.vt == VT_EMPTY ||
           (value_.vt == VT_UNKNOWN && value_.punkVal == nullptr);
  }

 private:
  VARIANT value_;
};

// The number a scalar value holds, for integer kinds.
bool IntegerOf(const VARIANT& value, int64_t* number) {
  if (value.vt == VT_I4) {
    *number = value.lVal;
    return true;
  }
  if (value.vt == VT_UI4) {
    *number = value.ulVal;
    return true;
  }
  return false;
}

std::string MofValue(const PropertyValue& property, const std::string& indent);

std::string MofInstance(IWbemClassObject* object, const std::string& indent) {
  std::string inner = indent + "    ";
  std::string text = "instance of " + object->GetClassName() + " {\n";
  for (const std::string& name : object->GetPropertyNames()) {
    PropertyValue property(object, name);
    text += inner + name + " = " + MofValue(property, inner) + ";\n";
  }
  return text + indent + "}";
}

std::string MofValue(const PropertyValue& property, const std::string& indent) {
  const VARIANT& value = property.get();
  int64_t number = 0;
  if (property.IsNull()) return "NULL";
  if (IntegerOf(value, &number)) return Decimal(number);
  if (value.vt == VT_BOOL) return value.boolVal ? "TRUE" : "FALSE";
  if (value.vt == VT_BSTR) return MofString(value.bstrVal);
  if (value.vt == VT_UNKNOWN) return MofInstance(value.punkVal, indent);
  return "NULL";
}

std::string JsonValue(const PropertyValue& property);

std::string JsonInstance(IWbemClassObject* object) {
  std::string text = "{";
  for (const std::string& name : object->GetPropertyNames()) {
    PropertyValue property(object, name);
    if (text.size() > 1) text += ", ";
    text += JsonString(name) + ": " + JsonValue(property);
  }
  return text + "}";
}

std::string JsonValue(const PropertyValue& property) {
  const VARIANT& value = property.get();
  int64_t number = 0;
  if (property.IsNull()) return "null";
  if (IntegerOf(value, &number)) return Decimal(number);
  if (value.vt == VT_BOOL) return value.boolVal ? "true" : "false";
  if (value.vt == VT_BSTR) return JsonString(value.bstrVal);
  if (value.vt == VT_UNKNOWN) return JsonInstance(value.punkVal);
  return "null";
}

// The output parameters other than ReturnValue, in declaration order.
std::vector<std::string> OutputNames(const CallOutcome& outcome) {
  IWbemClassObject* source =
      outcome.output != nullptr ? outcome.output : outcome.out_class;
  std::vector<std::string> names;
  if (source == nullptr) return names;
  for (const std::string& name : source->GetPropertyNames()) {
    if (name != kReturnValue) names.push_back(name);
  }
  return names;
}

// The ReturnValue of the indicated instance; false when none came or it is
// NULL.
bool ReturnValueOf(const CallOutcome& outcome, uint32_t* value) {
  if (outcome.output == nullptr) return false;
  PropertyValue property(outcome.output, kReturnValue);
  int64_t number = 0;
  if (property.IsNull() || !IntegerOf(property.get(), &number)) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

std::string WithName(const std::string& code, const std::string& name) {
  return name.empty() ? code : code + " " + name;
}

std::string ReturnValueLine(const CallOutcome& outcome) {
  uint32_t value = 0;
  if (outcome.output == nullptr) return "no output instance\n";
  if (!ReturnValueOf(outcome, &value)) return "ReturnValue: NULL\n";
  std::string meaning = ReturnValueMeaning(value);
  if (meaning.empty()) meaning = "update service result code";
  return "ReturnValue: " + Hex32(value) + " (" + Decimal(value) + ") " +
         meaning + "\n";
}

}  // namespace

std::string StatusName(uint32_t status) {
  return Lookup(kStatusNames, status);
}

std::string ReturnValueMeaning(uint32_t value) {
  return Lookup(kReturnValueNames, value);
}

std::string MofString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      // A control byte would break the instance across lines.
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
      quoted += escaped;
      continue;
    }
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '"') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string FormatText(const CallOutcome& outcome) {
  uint32_t status = static_cast<uint32_t>(outcome.status);
  std::string text = outcome.method + ": status " +
                     WithName(Hex32(status), StatusName(status)) + "\n";
  text += ReturnValueLine(outcome);
  if (outcome.output == nullptr) return text;
  for (const std::string& name : OutputNames(outcome)) {
    PropertyValue property(outcome.output, name);
    text += name + " = " + MofValue(property, "");
    text += property.get().vt == VT_UNKNOWN ? ";\n" : "\n";
  }
  return text;
}

std::string FormatJson(const CallOutcome& outcome) {
  uint32_t value = 0;
  std::string text = "{\"method\": " + JsonString(outcome.method) +
                     ", \"status\": " +
                     Decimal(static_cast<uint32_t>(outcome.status)) +
                     ", \"ReturnValue\": " +
                     (ReturnValueOf(outcome, &value) ? Decimal(value) : "null");
  for (const std::string& name : OutputNames(outcome)) {
    PropertyValue property(outcome.output, name);
    text += ", " + JsonString(name) + ": " + JsonValue(property);
  }
  return text + "}\n";
}

int ExitStatus(const CallOutcome& outcome) {
  if (outcome.status != WBEM_S_NO_ERROR) return 2;
  uint32_t value = 0;
  return ReturnValueOf(outcome, &value) && value == 0 ? 0 : 1;
}

}  // namespace call
}  // namespace qmx
