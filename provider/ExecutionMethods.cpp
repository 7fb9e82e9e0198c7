// Jobs the update service carries out: "DownloadAll", "UpdateAll",
// "RollbackAll" and "NoticeModuleUpdate".

#include <string>
#include <vector>

#include "host/utility.h"
#include "link/MessageFormat.h"
#include "provider/RequestCycle.h"
#include "provider/SettingsFields.h"
#include "provider/UpdateManager.h"

namespace {

// The reply body of an update or a rollback: "Reboot" as eight hex digits.
const size_t kRebootLength = 8;

const std::vector<SettingsObject>& DownloadAllObjects() {
  static const std::vector<SettingsObject> objects = {
      {"DownloadSetting", "Veltrax_DownloadAllSetting", &DownloadAllFields()},
  };
  return objects;
}

bool StoreReboot(const OperationTrace& trace, IWbemClassObject* outParams,
                 const std::string& body) {
  if (body.size() != kRebootLength) {
    trace.Write(TRACE_ERROR, "Param length error");
    return false;
  }
  HRESULT status = CIWbemUtil::setLongToIWbemClassObject(
      outParams, "Reboot", message::ParseHex32(body));
  if (FAILED(status)) {
    trace.Write(TRACE_ERROR, "SetOutParam is failed %s %08x", "Reboot",
                static_cast<unsigned>(status));
    return false;
  }
  return true;
}

RequestCycle JobCycle(const char* prefix, const char* kind,
                      IWbemClassObject* outParams) {
  OperationTrace trace(prefix);
  return {trace, kind, ReplyLength::kWithBody, nullptr,
          [trace, outParams](std::string body) {
            return StoreReboot(trace, outParams, body);
          }};
}

}  // namespace

long CVELTRAX_UpdateManager::DownloadAll(IWbemClassObject* inParams,
                                         IWbemClassObject*) {
  return RunRequestCycle(SettingsWriteCycle(
      "CVELTRAX_UpdateManager::DownloadAll()", "exmndnld", inParams,
      DownloadAllObjects()));
}

long CVELTRAX_UpdateManager::UpdateAll(IWbemClassObject*,
                                       IWbemClassObject* outParams) {
  return RunRequestCycle(
      JobCycle("CVELTRAX_UpdateManager::UpdateAll()", "exmnupdt", outParams));
}

long CVELTRAX_UpdateManager::RollbackAll(IWbemClassObject*,
                                         IWbemClassObject* outParams) {
  return RunRequestCycle(
      JobCycle("CVELTRAX_UpdateManager::RollbackAll()", "exmnrlbk", outParams));
}

long CVELTRAX_UpdateManager::NoticeModuleUpdate(IWbemClassObject*,
                                                IWbemClassObject*) {
  return RunRequestCycle(
      {OperationTrace("CVELTRAX_UpdateManager::NoticeModuleUpdate()"),
       "mdulupdt", ReplyLength::kHeaderOnly, nullptr, nullptr});
}
