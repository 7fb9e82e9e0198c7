// Automatic-download settings: "GetAutoDownloadSetting" and
// "SetAutoDownloadSetting", both over the fifteen-value download list.


#include "provider/SettingsFields.h"
#include "provider/UpdateManager.h"

namespace {

constexpr CSettingsObject kDownloadObjectList[] = {
    {"DownloadSchedule", "Veltrax_DownloadSchedule", &kScheduleFields},
    {"DownloadSetting", "Veltrax_DownloadSetting", &kDownloadSettingFields},
};

}  // namespace

long CVELTRAX_UpdateManager::GetAutoDownloadSetting(IWbemClassObject*,
                                                    IWbemClassObject* pOutParams) {
  CSettingsReadCycle objCycle("CVELTRAX_UpdateManager::GetAutoDownloadSetting()",
                              "gtatdnld", this, pOutParams, kDownloadObjectList);
  return RunRequestCycle(&objCycle);
}

long CVELTRAX_UpdateManager::SetAutoDownloadSetting(IWbemClassObject* pInParams,
                                                    IWbemClassObject*) {
  CSettingsWriteCycle objCycle("CVELTRAX_UpdateManager::SetAutoDownloadSetting()",
                               "statdnld", pInParams, kDownloadObjectList);
  return RunRequestCycle(&objCycle);
}
