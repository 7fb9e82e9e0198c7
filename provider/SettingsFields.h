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
#include "provider/ObjectRef.h"
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

// The most embedded objects a method carries in its input or its output.
constexpr size_t kMaxSettingsObjects = 2;

// The cycle of a method that sends the objects read from its input and
// expects a bare header back. It holds each object it reads until the
// service has taken the request, or, on every other path, until the cycle
// ends.
class CSettingsWriteCycle : public CRequestCycle {
 public:
  template <size_t N>
  CSettingsWriteCycle(const char* pszPrefix, const char* pszKind,
                      IWbemClassObject* pInParams,
                      const CSettingsObject (&aObjects)[N])
      : CRequestCycle(pszPrefix, pszKind, EReplyLength::kHeaderOnly),
        m_pInParams(pInParams),
        m_objObjects(aObjects) {
    static_assert(N <= kMaxSettingsObjects, "more objects than are held");
  }
  ~CSettingsWriteCycle() override { ReleaseInput(); }

  // Reads each object and appends its fields' text forms, joined with ";".
  // Traces a failed read and ends with kResultFailed; nothing is read past
  // it.
  long BuildList(std::string* pstrList) override;
  // In the order read.
  void ReleaseInput() override;

 private:
  IWbemClassObject* m_pInParams;
  CObjectTable m_objObjects;
  CObjectRef m_aobjInput[kMaxSettingsObjects];
};

// The cycle of a method that asks for the objects and stores the reply's
// values, one instance per object, as its output parameters.
class CSettingsReadCycle : public CRequestCycle {
 public:
  CSettingsReadCycle(const char* pszPrefix, const char* pszKind,
                     CVELTRAX_UpdateManager* pProvider,
                     IWbemClassObject* pOutParams, CObjectTable objObjects)
      : CRequestCycle(pszPrefix, pszKind, EReplyLength::kWithBody),
        m_pProvider(pProvider),
        m_pOutParams(pOutParams),
        m_objObjects(objObjects) {}

  // Traces the first failure and returns false.
  bool ReadBody(std::string strBody) override;

 private:
  CVELTRAX_UpdateManager* m_pProvider;
  IWbemClassObject* m_pOutParams;
  CObjectTable m_objObjects;
};

#endif  // QMX_PROVIDER_SETTINGSFIELDS_H_
