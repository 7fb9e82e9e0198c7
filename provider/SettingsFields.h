// The settings lists as tables of fields. The same tables drive the writers
// (input objects to a parameter list) and the readers (a reply's values to
// output instances), so both sides always agree on names, order and text
// forms.

#ifndef QMX_PROVIDER_SETTINGSFIELDS_H_
#define QMX_PROVIDER_SETTINGSFIELDS_H_

#include <list>
#include <string>
#include <vector>

#include "host/wbem.h"
#include "provider/RequestCycle.h"

class CVELTRAX_UpdateManager;

enum class FieldType {
  kBoolean,  // "1" or "0"
  kInteger,  // decimal, 32-bit
  kText,     // ";" inside written "@@@@"
};

struct SettingField {
  const char* name;
  FieldType type;
};

using FieldTable = std::vector<SettingField>;

// IsAutoSetting, RepeatType, DayOfWeek, Date, Time: the download and the
// update schedule alike.
const FieldTable& ScheduleFields();
// DownloadType, then the source and connection texts.
const FieldTable& DownloadSettingFields();
// The download settings followed by ExternalMediaPath.
const FieldTable& DownloadAllFields();

// One embedded object of a method: its parameter name, its class and the
// fields it carries in the list.
struct SettingsObject {
  const char* parameter;
  const char* className;
  const FieldTable* fields;
};

// Reads each object from the input parameters and appends its fields' text
// forms to *list, joined with ";". Traces a failed read and returns false;
// nothing is appended past it.
bool EncodeSettings(const OperationTrace& trace, IWbemClassObject* inParams,
                    const std::vector<SettingsObject>& objects,
                    std::string* list);

// Stores the values of a reply, one instance per object, as the output
// parameters. Traces the first failure and returns false.
bool StoreSettings(const OperationTrace& trace, IWbemServices* services,
                   IWbemClassObject* outParams,
                   const std::vector<SettingsObject>& objects,
                   const std::list<std::string>& values);

// The cycle of a method that sends the objects read from its input and
// expects a bare header back.
RequestCycle SettingsWriteCycle(const char* prefix, const char* kind,
                                IWbemClassObject* inParams,
                                const std::vector<SettingsObject>& objects);

// The cycle of a method that asks for the objects and stores the reply's
// values as its output parameters.
RequestCycle SettingsReadCycle(const char* prefix, const char* kind,
                               CVELTRAX_UpdateManager* provider,
                               IWbemClassObject* outParams,
                               const std::vector<SettingsObject>& objects);

#endif  // QMX_PROVIDER_SETTINGSFIELDS_H_
