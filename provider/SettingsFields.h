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

enum class EFieldType {
  kBoolean,  // "1" or "0"
  kInteger,  // decimal, 32-bit
  kText,     // ";" inside written "@@@@"
};

struct CSettingField {
  const char* pszName;
  EFieldType eType;
};

using CFieldTable = std::vector<CSettingField>;

// IsAutoSetting, RepeatType, DayOfWeek, Date, Time: the download and the
// update schedule alike.
const CFieldTable& ScheduleFields();
// DownloadType, then the source and connection texts.
const CFieldTable& DownloadSettingFields();
// The download settings followed by ExternalMediaPath.
const CFieldTable& DownloadAllFields();

// One embedded object of a method: its parameter name, its class and the
// fields it carries in the list.
struct CSettingsObject {
  const char* pszParameter;
  const char* pszClassName;
  const CFieldTable* pFields;
};

// Reads each object from the input parameters and appends its fields' text
// forms to *pstrList, joined with ";". Traces a failed read and returns
// false; nothing is appended past it.
bool EncodeSettings(const COperationTrace& objTrace, IWbemClassObject* pInParams,
                    const std::vector<CSettingsObject>& vecObjects,
                    std::string* pstrList);

// Stores the values of a reply, one instance per object, as the output
// parameters. Traces the first failure and returns false.
bool StoreSettings(const COperationTrace& objTrace, IWbemServices* pServices,
                   IWbemClassObject* pOutParams,
                   const std::vector<CSettingsObject>& vecObjects,
                   const std::list<std::string>& lstValues);

// The cycle of a method that sends the objects read from its input and
// expects a bare header back.
CRequestCycle SettingsWriteCycle(const char* pszPrefix, const char* pszKind,
                                 IWbemClassObject* pInParams,
                                 const std::vector<CSettingsObject>& vecObjects);

// The cycle of a method that asks for the objects and stores the reply's
// values as its output parameters.
CRequestCycle SettingsReadCycle(const char* pszPrefix, const char* pszKind,
                                CVELTRAX_UpdateManager* pProvider,
                                IWbemClassObject* pOutParams,
                                const std::vector<CSettingsObject>& vecObjects);

#endif  // QMX_PROVIDER_SETTINGSFIELDS_H_
