// The settings lists as tables of fields. The same tables drive the writers
// (input objects to a parameter list) and the readers (a reply's values to
// output instances), so both sides always agree on names, order and text
// forms.

#ifndef QMX_PROVIDER_SETTINGSFIELDS_H_
#define QMX_PROVIDER_SETTINGSFIELDS_H_

#include <cstddef>
#include <iterator>
#include <list>
#include <string>

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

// A run of entries fixed when the library is built: constant-initialised,
// so that no table is built at load time or guarded at its first use.
template <typename T>
class CTable {
 public:
  template <size_t N>
  constexpr CTable(const T (&aEntries)[N]) : m_pFirst(aEntries), m_nCount(N) {}
  constexpr CTable(const T* pFirst, size_t nCount)
      : m_pFirst(pFirst), m_nCount(nCount) {}

  constexpr const T* begin() const { return m_pFirst; }
  constexpr const T* end() const { return m_pFirst + m_nCount; }
  constexpr size_t size() const { return m_nCount; }

 private:
  const T* m_pFirst;
  size_t m_nCount;
};

using CFieldTable = CTable<CSettingField>;

// IsAutoSetting, RepeatType, DayOfWeek, Date, Time: the download and the
// update schedule alike.
inline constexpr CSettingField kScheduleFieldList[] = {
    {"IsAutoSetting", EFieldType::kBoolean},
    {"RepeatType", EFieldType::kInteger},
    {"DayOfWeek", EFieldType::kText},
    {"Date", EFieldType::kText},
    {"Time", EFieldType::kText},
};

// DownloadType, then the source and connection texts, then
// ExternalMediaPath, which only a download sends.
inline constexpr CSettingField kDownloadAllFieldList[] = {
    {"DownloadType", EFieldType::kInteger},
    {"WebSiteUrl", EFieldType::kText},
    {"ProxyAddress", EFieldType::kText},
    {"ProxyPort", EFieldType::kText},  // a port travels as text
    {"ProxyUser", EFieldType::kText},
    {"ProxyPassword", EFieldType::kText},
    {"CacheServerPath", EFieldType::kText},
    {"CacheServerUser", EFieldType::kText},
    {"CacheServerPassword", EFieldType::kText},
    {"TempDriveLetter", EFieldType::kText},
    {"ExternalMediaPath", EFieldType::kText},
};

inline constexpr CFieldTable kScheduleFields = kScheduleFieldList;
// The download settings: all of the above but ExternalMediaPath.
inline constexpr CFieldTable kDownloadSettingFields = {
    kDownloadAllFieldList, std::size(kDownloadAllFieldList) - 1};
inline constexpr CFieldTable kDownloadAllFields = kDownloadAllFieldList;

// One embedded object of a method: its parameter name, its class and the
// fields it carries in the list.
struct CSettingsObject {
  const char* pszParameter;
  const char* pszClassName;
  const CFieldTable* pFields;
};

using CObjectTable = CTable<CSettingsObject>;

// Reads each object from the input parameters and appends its fields' text
// forms to *pstrList, joined with ";". Traces a failed read and returns
// false; nothing is appended past it.
bool EncodeSettings(const COperationTrace& objTrace, IWbemClassObject* pInParams,
                    CObjectTable objObjects,
                    std::string* pstrList);

// Stores the values of a reply, one instance per object, as the output
// parameters. Traces the first failure and returns false.
bool StoreSettings(const COperationTrace& objTrace, IWbemServices* pServices,
                   IWbemClassObject* pOutParams,
                   CObjectTable objObjects,
                   const std::list<std::string>& lstValues);

// The cycle of a method that sends the objects read from its input and
// expects a bare header back.
CRequestCycle SettingsWriteCycle(const char* pszPrefix, const char* pszKind,
                                 IWbemClassObject* pInParams,
                                 CObjectTable objObjects);

// The cycle of a method that asks for the objects and stores the reply's
// values as its output parameters.
CRequestCycle SettingsReadCycle(const char* pszPrefix, const char* pszKind,
                                CVELTRAX_UpdateManager* pProvider,
                                IWbemClassObject* pOutParams,
                                CObjectTable objObjects);

#endif  // QMX_PROVIDER_SETTINGSFIELDS_H_
