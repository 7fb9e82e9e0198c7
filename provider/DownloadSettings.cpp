// Automatic-download settings: "GetAutoDownloadSetting" and
// "SetAutoDownloadSetting", both over the fifteen-value download list.

#include <vector>

#include "provider/SettingsFields.h"
#include "provider/UpdateManager.h"

namespace {

const std::vector<SettingsObject>& DownloadObjects() {
  static const std::vector<SettingsObject> objects = {
      {"DownloadSchedule", "Veltrax_DownloadSchedule", &ScheduleFields()},
      {"DownloadSetting", "Veltrax_DownloadSetting", &DownloadSettingFields()},
  };
  return objects;
}

}  // namespace

long CVELTRAX_UpdateManager::GetAutoDownloadSetting(IWbemClassObject*,
                                                    IWbemClassObject* outParams) {
  return RunRequestCycle(SettingsReadCycle(
      "CVELTRAX_UpdateManager::GetAutoDownloadSetting()", "gtatdnld", this,
      outParams, DownloadObjects()));
}

long CVELTRAX_UpdateManager::SetAutoDownloadSetting(IWbemClassObject* inParams,
                                                    IWbemClassObject*) {
  return RunRequestCycle(SettingsWriteCycle(
      "CVELTRAX_UpdateManager::SetAutoDownloadSetting()", "statdnld", inParams,
      DownloadObjects()));
}
