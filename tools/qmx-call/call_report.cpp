#include "tools/qmx-call/call_report.h"

#include <cstdio>
#include <vector>

#include <nlohmann/json.hpp>

namespace qmx {
namespace call {
namespace {

using Json = nlohmann::ordered_json;  // keeps the declaration order

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

Json JsonValue(const PropertyValue& property);

Json JsonInstance(IWbemClassObject* object) {
  Json instance = Json::object();
  for (const std::string& name : object->GetPropertyNames()) {
    instance[name] = JsonValue(PropertyValue(object, name));
  }
  return instance;
}

Json JsonValue(const PropertyValue& property) {
  const VARIANT& value = property.get();
  int64_t number = 0;
  if (property.IsNull()) return nullptr;
  if (IntegerOf(value, &number)) return number;
  if (value.vt == VT_BOOL) return static_cast<bool>(value.boolVal);
  if (value.vt == VT_BSTR) return value.bstrVal;
  if (value.vt == VT_UNKNOWN) return JsonInstance(value.punkVal);
  return nullptr;
}

// The byte length of the well-formed UTF-8 sequence at text[i]; 0 when
// none starts there (a stray continuation byte, an overlong form, a
// surrogate, a code point past U+10FFFF, a sequence cut short).
size_t Utf8Length(const std::string& text, size_t i) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
  size_t length = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) length = 2;
  if (lead >= 0xe0 && lead <= 0xef) length = 3;
  if (lead >= 0xf0 && lead <= 0xf4) length = 4;
  if (lead == 0xe0) low = 0xa0;
  if (lead == 0xed) high = 0x9f;
  if (lead == 0xf0) low = 0x90;
  if (lead == 0xf4) high = 0x8f;
  if (length == 0 || text.size() - i < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    unsigned char byte = static_cast<unsigned char>(text[i + k]);
    if (byte < low || byte > high) return 0;
    low = 0x80;
    high = 0xbf;
  }
  return length;
}

// A C0 control, DEL, or a C1 control (U+0080 to U+009F: 0xc2 0x80-0x9f).
bool IsControl(const std::string& text, size_t i, size_t length) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  if (length == 1) return lead < 0x20 || lead == 0x7f;
  return length == 2 && lead == 0xc2 &&
         static_cast<unsigned char>(text[i + 1]) < 0xa0;
}

void AppendHex(unsigned char byte, std::string* out) {
  char escaped[8];
  snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
  *out += escaped;
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

// One line, with U+FFFD for bytes that are not UTF-8.
std::string Dump(const Json& report) {
  return report.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
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

std::string Printable(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    size_t length = Utf8Length(text, i);
    if (length > 0 && !IsControl(text, i, length)) {
      shown.append(text, i, length);
      i += length;
      continue;
    }
    size_t end = i + (length > 0 ? length : 1);
    for (; i < end; ++i) AppendHex(static_cast<unsigned char>(text[i]), &shown);
  }
  return shown;
}

std::string MofString(const std::string& text) {
  std::string quoted;
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    quoted += c;
  }
  return "\"" + Printable(quoted) + "\"";
}

std::string FormatText(const CallOutcome& outcome) {
  uint32_t status = static_cast<uint32_t>(outcome.status);
  std::string text = Printable(outcome.method) + ": status " +
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
  Json report = Json::object();
  report["method"] = outcome.method;
  report["status"] = static_cast<uint32_t>(outcome.status);
  report[kReturnValue] = nullptr;
  if (ReturnValueOf(outcome, &value)) report[kReturnValue] = value;
  for (const std::string& name : OutputNames(outcome)) {
    report[name] = JsonValue(PropertyValue(outcome.output, name));
  }
  return Dump(report);
}

std::string FormatLinkText(const LinkResult& link) {
  char head[32];
  snprintf(head, sizeof(head), "%-7s %-13s ", link.ok ? "ok" : "FAILING",
           link.link.c_str());
  std::string text = head + Printable(link.found);
  if (!link.action.empty()) text += " -- " + Printable(link.action);
  return text + "\n";
}

std::string FormatLinksJson(const std::vector<LinkResult>& links) {
  Json report = Json::array();
  for (const LinkResult& link : links) {
    report.push_back({{"link", link.link},
                      {"ok", link.ok},
                      {"found", link.found},
                      {"action", link.action}});
  }
  return Dump(report);
}

int ExitStatus(const CallOutcome& outcome) {
  if (outcome.status != WBEM_S_NO_ERROR) return 2;
  uint32_t value = 0;
  return ReturnValueOf(outcome, &value) && value == 0 ? 0 : 1;
}

}  // namespace call
}  // namespace qmx
