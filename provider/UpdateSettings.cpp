// Automatic-update schedule: "GetAutoUpdateSetting" and
// "SetAutoUpdateSetting", both over the five-value schedule list.

#include <vector>

#include "provider/SettingsFields.h"
#include "provider/UpdateManager.h"

namespace {

const std::vector<SettingsObject>& UpdateObjects() {
  static const std::vector<SettingsObject> objects = {
      {"UpdateSchedule", "Veltrax_UpdateSchedule", &ScheduleFields()},
  };
  return objects;
}

}  // namespace

long CVELTRAX_UpdateManager::GetAutoUpdateSetting(IWbemClassObject*,
                                                  IWbemClassObject* outParams) {
  return RunRequestCycle(SettingsReadCycle(
      "CVELTRAX_UpdateManager::GetAutoUpdateSetting()", "gtatupdt", this,
      outParams, UpdateObjects()));
}

long CVELTRAX_UpdateManager::SetAutoUpdateSetting(IWbemClassObject* inParams,
                                                  IWbemClassObject*) {
  return RunRequestCycle(SettingsWriteCycle(
      "CVELTRAX_UpdateManager::SetAutoUpdateSetting()", "statupdt", inParams,
      UpdateObjects()));
}
