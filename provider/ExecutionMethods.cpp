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

CRequestCycle JobCycle(const char* pszPrefix, const char* pszKind,
                       IWbemClassObject* pOutParams) {
  COperationTrace objTrace(pszPrefix);
  return {objTrace, pszKind, EReplyLength::kWithBody, nullptr,
          [objTrace, pOutParams](std::string strBody) {
            return StoreReboot(objTrace, pOutParams, strBody);
          }};
}

}  // namespace

long CVELTRAX_UpdateManager::DownloadAll(IWbemClassObject* pInParams,
                                         IWbemClassObject*) {
  return RunRequestCycle(SettingsWriteCycle(
      "CVELTRAX_UpdateManager::DownloadAll()", "exmndnld", pInParams,
      kDownloadAllObjectList));
}

long CVELTRAX_UpdateManager::UpdateAll(IWbemClassObject*,
                                       IWbemClassObject* pOutParams) {
  return RunRequestCycle(
      JobCycle("CVELTRAX_UpdateManager::UpdateAll()", "exmnupdt", pOutParams));
}

long CVELTRAX_UpdateManager::RollbackAll(IWbemClassObject*,
                                         IWbemClassObject* pOutParams) {
  return RunRequestCycle(
      JobCycle("CVELTRAX_UpdateManager::RollbackAll()", "exmnrlbk", pOutParams));
}

long CVELTRAX_UpdateManager::NoticeModuleUpdate(IWbemClassObject*,
                                                IWbemClassObject*) {
  return RunRequestCycle(
      {COperationTrace("CVELTRAX_UpdateManager::NoticeModuleUpdate()"),
       "mdulupdt", EReplyLength::kHeaderOnly, nullptr, nullptr});
}
