// Jobs the update service carries out: "DownloadAll", "UpdateAll",
// "RollbackAll" and "NoticeModuleUpdate".

#include <string>

#include "host/utility.h"
#include "link/MessageFormat.h"
#include "provider/RequestCycle.h"
#include "provider/SettingsFields.h"
#include "provider/UpdateManager.h"

namespace {

// The reply body of an update or a rollback: "Reboot" as eight hex digits.
const size_t kRebootLength = 8;

constexpr CSettingsObject kDownloadAllObjectList[] = {
    {"DownloadSetting", "Veltrax_DownloadAllSetting", &kDownloadAllFields},
};

bool StoreReboot(const COperationTrace& objTrace, IWbemClassObject* pOutParams,
                 const std::string& strBody) {
  if (strBody.size() != kRebootLength) {
    objTrace.Write(TRACE_ERROR, "Param length error");
    return false;
  }
  HRESULT hrStatus = CIWbemUtil::setLongToIWbemClassObject(
      pOutParams, "Reboot", message::ParseHex32(strBody));
  if (FAILED(hrStatus)) {
    objTrace.Write(TRACE_ERROR, "SetOutParam is failed %s %08x", "Reboot",
                   static_cast<unsigned>(hrStatus));
    return false;
  }
  return true;
}

// The cycle of an update or a rollback: its reply carries "Reboot".
class CJobCycle : public CRequestCycle {
 public:
  CJobCycle(const char* pszPrefix, const char* pszKind,
            IWbemClassObject* pOutParams)
      : CRequestCycle(pszPrefix, pszKind, EReplyLength::kWithBody),
        m_pOutParams(pOutParams) {}

  bool ReadBody(std::string strBody) override {
    return StoreReboot(GetTrace(), m_pOutParams, strBody);
  }

 private:
  IWbemClassObject* m_pOutParams;
};

}  // namespace

long CVELTRAX_UpdateManager::DownloadAll(IWbemClassObject* pInParams,
                                         IWbemClassObject*) {
  CSettingsWriteCycle objCycle("CVELTRAX_UpdateManager::DownloadAll()",
                               "exmndnld", pInParams, kDownloadAllObjectList);
  return RunRequestCycle(&objCycle);
}

long CVELTRAX_UpdateManager::UpdateAll(IWbemClassObject*,
                                       IWbemClassObject* pOutParams) {
  CJobCycle objCycle("CVELTRAX_UpdateManager::UpdateAll()", "exmnupdt",
                     pOutParams);
  return RunRequestCycle(&objCycle);
}

long CVELTRAX_UpdateManager::RollbackAll(IWbemClassObject*,
                                         IWbemClassObject* pOutParams) {
  CJobCycle objCycle("CVELTRAX_UpdateManager::RollbackAll()", "exmnrlbk",
                     pOutParams);
  return RunRequestCycle(&objCycle);
}

long CVELTRAX_UpdateManager::NoticeModuleUpdate(IWbemClassObject*,
                                                IWbemClassObject*) {
  CRequestCycle objCycle("CVELTRAX_UpdateManager::NoticeModuleUpdate()",
                         "mdulupdt", EReplyLength::kHeaderOnly);
  return RunRequestCycle(&objCycle);
}
