# What the package tests ask of an installed product through its qmx-call,
# with the caller's own call() (METHOD ARGS..., the JSON answer in $answer)
# and fail(): settings stored and read back, and every method called.

settings='"IsAutoSetting":true,"RepeatType":2,"DayOfWeek":"Sun","Date":"","Time":"04:30"'
store_settings() {
  call SetAutoUpdateSetting UpdateSchedule.IsAutoSetting=true UpdateSchedule.RepeatType=2 \
    UpdateSchedule.DayOfWeek=Sun UpdateSchedule.Date= UpdateSchedule.Time=04:30
  call SetAutoDownloadSetting DownloadSchedule.IsAutoSetting=true DownloadSchedule.RepeatType=1 \
    DownloadSchedule.Time=02:00 DownloadSetting.WebSiteUrl=https://updates.example/qmx \
    DownloadSetting.ProxyPort=3128
}
# check_stored_settings WHEN: what store_settings stored is still there.
check_stored_settings() {
  call GetAutoUpdateSetting
  [[ $answer == *"$settings"* ]] || fail "$1: update schedule lost: $answer"
  call GetAutoDownloadSetting
  [[ $answer == *'"WebSiteUrl":"https://updates.example/qmx"'*'"ProxyPort":"3128"'* ]] ||
    fail "$1: download setting lost: $answer"
}
# Calls every method once as its sample does (tests/samples/methods), then
# stores the settings.
call_every_method() {
  local key value method="" args=()
  while read -r key value; do
    [[ $key == method && -n $method ]] && call "$method" "${args[@]}"
    [[ $key == method ]] && method=$value args=()
    [[ $key == input ]] && args+=("$value")
  done <"$(dirname "${BASH_SOURCE[0]}")/../samples/methods"
  call "$method" "${args[@]}"
  store_settings
}
