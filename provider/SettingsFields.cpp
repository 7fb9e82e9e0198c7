#include "provider/SettingsFields.h"

#include <iterator>

#include "host/utility.h"
#include "link/MessageFormat.h"
#include "provider/ObjectRef.h"
#include "provider/OperationTrace.h"
#include "provider/UpdateManager.h"

const FieldTable& ScheduleFields() {
  static const FieldTable fields = {
      {"IsAutoSetting", FieldType::kBoolean},
      {"RepeatType", FieldType::kInteger},
      {"DayOfWeek", FieldType::kText},
      {"Date", FieldType::kText},
      {"Time", FieldType::kText},
  };
  return fields;
}

const FieldTable& DownloadSettingFields() {
  static const FieldTable fields = {
      {"DownloadType", FieldType::kInteger},
      {"WebSiteUrl", FieldType::kText},
      {"ProxyAddress", FieldType::kText},
      {"ProxyPort", FieldType::kText},  // a port travels as text
      {"ProxyUser", FieldType::kText},
      {"ProxyPassword", FieldType::kText},
      {"CacheServerPath", FieldType::kText},
      {"CacheServerUser", FieldType::kText},
      {"CacheServerPassword", FieldType::kText},
      {"TempDriveLetter", FieldType::kText},
  };
  return fields;
}

const FieldTable& DownloadAllFields() {
  static const FieldTable fields = [] {
    FieldTable all = DownloadSettingFields();
    all.push_back({"ExternalMediaPath", FieldType::kText});
    return all;
  }();
  return fields;
}

namespace {

unsigned Status32(HRESULT status) { return static_cast<unsigned>(status); }

HRESULT ReadField(IWbemClassObject* object, const SettingField& field,
                  std::string* text) {
  HRESULT status = WBEM_E_FAILED;
  switch (field.type) {
    case FieldType::kBoolean: {
      bool value = false;
      status = CIWbemUtil::getBoolFromIWbemClassObject(object, field.name, &value);
      *text = message::FormatBool(value);
      break;
    }
    case FieldType::kInteger: {
      int value = 0;
      status = CIWbemUtil::getIntFromIWbemClassObject(object, field.name, &value);
      *text = message::FormatInt(value);
      break;
    }
    case FieldType::kText: {
      std::string value;
      status = CIWbemUtil::getStringFromIWbemClassObject(object, field.name, &value);
      *text = message::EscapeValue(std::move(value));
      break;
    }
  }
  return status;
}

HRESULT StoreField(IWbemClassObject* instance, const SettingField& field,
                   const std::string& text) {
  switch (field.type) {
    case FieldType::kBoolean: {
      bool value = false;
      message::ParseBool(text, &value);
      return CIWbemUtil::setBoolToIWbemClassObject(instance, field.name, value);
    }
    case FieldType::kInteger:
      return CIWbemUtil::setIntToIWbemClassObject(
          instance, field.name,
          static_cast<int>(message::ParseDecimal32(text)));
    case FieldType::kText:
      return CIWbemUtil::setStringToIWbemClassObject(instance, field.name, text);
  }
  return WBEM_E_FAILED;
}

using ValueIterator = std::list<std::string>::const_iterator;

// The first boolean field whose text is neither "1" nor "0"; checked before
// any property is set, so a rejected reply leaves no half-filled instance.
const SettingField* FirstRejected(const FieldTable& fields, ValueIterator value) {
  bool ignored = false;
  for (const SettingField& field : fields) {
    const std::string& text = *value++;
    if (field.type == FieldType::kBoolean && !message::ParseBool(text, &ignored)) {
      return &field;
    }
  }
  return nullptr;
}

bool EncodeObject(const OperationTrace& trace, IWbemClassObject* inParams,
                  const SettingsObject& object, std::string* list) {
  ObjectRef embedded;
  HRESULT status = CIWbemUtil::getParameterClassFromIWbemClassObject(
      inParams, object.parameter, embedded.Receive());
  if (FAILED(status)) {
    trace.Write(TRACE_ERROR, "GetInParam is failed %s %08x", object.parameter,
                Status32(status));
    return false;
  }
  std::string text;
  for (const SettingField& field : *object.fields) {
    status = ReadField(embedded.get(), field, &text);
    if (FAILED(status)) {
      trace.Write(TRACE_ERROR, "GetInParam is failed %s %08x", field.name,
                  Status32(status));
      return false;
    }
    list->append(text).append(message::kSeparator);
  }
  return true;
}

bool StoreObject(const OperationTrace& trace, IWbemServices* services,
                 IWbemClassObject* outParams, const SettingsObject& object,
                 ValueIterator value) {
  ObjectRef classObject;
  HRESULT status = services == nullptr
                       ? WBEM_E_FAILED
                       : services->GetObject(object.className, 0, nullptr,
                                             classObject.Receive(), nullptr);
  if (FAILED(status) || classObject.get() == nullptr) {
    trace.Write(TRACE_ERROR, "GetObject is failed %s %08x", object.className,
                Status32(status));
    return false;
  }
  ObjectRef instance;
  status = classObject.get()->SpawnInstance(0, instance.Receive());
  if (FAILED(status) || instance.get() == nullptr) {
    trace.Write(TRACE_ERROR, "SpawnInstance is failed %s %08x",
                object.className, Status32(status));
    return false;
  }
  if (const SettingField* rejected = FirstRejected(*object.fields, value)) {
    trace.Write(TRACE_ERROR, "Param error %s %08x", rejected->name,
                Status32(status));
    return false;
  }
  for (const SettingField& field : *object.fields) {
    HRESULT stored = StoreField(instance.get(), field, *value++);
    if (FAILED(stored)) {
      trace.Write(TRACE_ERROR, "SetOutParam is failed %s %08x", field.name,
                  Status32(stored));
      return false;
    }
  }
  status = CIWbemUtil::setParameterClassToIWbemClassObject(
      outParams, object.parameter, instance.get());
  if (FAILED(status)) {
    trace.Write(TRACE_ERROR, "SetOutParam is failed %s %08x", object.parameter,
                Status32(status));
    return false;
  }
  return true;
}

}  // namespace

bool EncodeSettings(const OperationTrace& trace, IWbemClassObject* inParams,
                    const std::vector<SettingsObject>& objects,
                    std::string* list) {
  for (const SettingsObject& object : objects) {
    if (!EncodeObject(trace, inParams, object, list)) return false;
  }
  // Every value was followed by a separator; the list ends with its last
  // value.
  if (!list->empty()) list->pop_back();
  return true;
}

bool StoreSettings(const OperationTrace& trace, IWbemServices* services,
                   IWbemClassObject* outParams,
                   const std::vector<SettingsObject>& objects,
                   const std::list<std::string>& values) {
  size_t expected = 0;
  for (const SettingsObject& object : objects) expected += object.fields->size();
  if (values.size() != expected) {
    trace.Write(TRACE_ERROR, "ParamNum error");
    return false;
  }
  ValueIterator value = values.begin();
  for (const SettingsObject& object : objects) {
    if (!StoreObject(trace, services, outParams, object, value)) return false;
    std::advance(value, object.fields->size());
  }
  return true;
}

RequestCycle SettingsWriteCycle(const char* prefix, const char* kind,
                                IWbemClassObject* inParams,
                                const std::vector<SettingsObject>& objects) {
  OperationTrace trace(prefix);
  return {trace, kind, ReplyLength::kHeaderOnly,
          [trace, inParams, &objects](std::string* list) {
            return EncodeSettings(trace, inParams, objects, list)
                       ? kResultSuccess
                       : kResultFailed;
          },
          nullptr};
}

RequestCycle SettingsReadCycle(const char* prefix, const char* kind,
                               CVELTRAX_UpdateManager* provider,
                               IWbemClassObject* outParams,
                               const std::vector<SettingsObject>& objects) {
  OperationTrace trace(prefix);
  return {trace, kind, ReplyLength::kWithBody, nullptr,
          [trace, provider, outParams, &objects](std::string body) {
            return StoreSettings(trace, provider->GetServices(), outParams,
                                 objects,
                                 provider->GetParameter(std::move(body)));
          }};
}
