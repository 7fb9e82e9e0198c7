// Automatic-update schedule: "GetAutoUpdateSetting" and
// "SetAutoUpdateSetting", both over the five-value schedule list.


#include "provider/SettingsFields.h"
#include "provider/UpdateManager.h"

namespace {

constexpr CSettingsObject kUpdateObjectList[] = {
    {"UpdateSchedule", "Veltrax_UpdateSchedule", &kScheduleFields},
};

}  // namespace

long CVELTRAX_UpdateManager::GetAutoUpdateSetting(IWbemClassObject*,
                                                  IWbemClassObject* pOutParams) {
  CSettingsReadCycle objCycle("CVELTRAX_UpdateManager::GetAutoUpdateSetting()",
                              "gtatupdt", this, pOutParams, kUpdateObjectList);
  return RunRequestCycle(&objCycle);
}

long CVELTRAX_UpdateManager::SetAutoUpdateSetting(IWbemClassObject* pInParams,
                                                  IWbemClassObject*) {
  CSettingsWriteCycle objCycle("CVELTRAX_UpdateManager::SetAutoUpdateSetting()",
                               "statupdt", pInParams, kUpdateObjectList);
  return RunRequestCycle(&objCycle);
}
