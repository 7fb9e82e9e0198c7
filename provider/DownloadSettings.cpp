// Automatic-download settings: "GetAutoDownloadSetting" and
// "SetAutoDownloadSetting", both over the fifteen-value download list.

#include <vector>

#include "provider/SettingsFields.h"
#include "provider/UpdateManager.h"

namespace {

const std::vector<CSettingsObject>& DownloadObjects() {
  static const std::vector<CSettingsObject> vecObjects = {
      {"DownloadSchedule", "Veltrax_DownloadSchedule", &ScheduleFields()},
      {"DownloadSetting", "Veltrax_DownloadSetting", &DownloadSettingFields()},
  };
  return vecObjects;
}

}  // namespace

long CVELTRAX_UpdateManager::GetAutoDownloadSetting(IWbemClassObject*,
                                                    IWbemClassObject* pOutParams) {
  return RunRequestCycle(SettingsReadCycle(
      "CVELTRAX_UpdateManager::GetAutoDownloadSetting()", "gtatdnld", this,
      pOutParams, DownloadObjects()));
}

long CVELTRAX_UpdateManager::SetAutoDownloadSetting(IWbemClassObject* pInParams,
                                                    IWbemClassObject*) {
  return RunRequestCycle(SettingsWriteCycle(
      "CVELTRAX_UpdateManager::SetAutoDownloadSetting()", "statdnld", pInParams,
      DownloadObjects()));
}
