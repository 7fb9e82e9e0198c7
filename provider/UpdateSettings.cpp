// Automatic-update schedule: "GetAutoUpdateSetting" and
// "SetAutoUpdateSetting", both over the five-value schedule list.

#include <vector>

#include "provider/SettingsFields.h"
#include "provider/UpdateManager.h"

namespace {

const std::vector<CSettingsObject>& UpdateObjects() {
  static const std::vector<CSettingsObject> vecObjects = {
      {"UpdateSchedule", "Veltrax_UpdateSchedule", &ScheduleFields()},
  };
  return vecObjects;
}

}  // namespace

long CVELTRAX_UpdateManager::GetAutoUpdateSetting(IWbemClassObject*,
                                                  IWbemClassObject* pOutParams) {
  return RunRequestCycle(SettingsReadCycle(
      "CVELTRAX_UpdateManager::GetAutoUpdateSetting()", "gtatupdt", this,
      pOutParams, UpdateObjects()));
}

long CVELTRAX_UpdateManager::SetAutoUpdateSetting(IWbemClassObject* pInParams,
                                                  IWbemClassObject*) {
  return RunRequestCycle(SettingsWriteCycle(
      "CVELTRAX_UpdateManager::SetAutoUpdateSetting()", "statupdt", pInParams,
      UpdateObjects()));
}
