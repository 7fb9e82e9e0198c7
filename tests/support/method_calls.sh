# What the package tests ask of an installed product through its qmx-call,
# with the caller's own call() (METHOD ARGS..., the JSON answer in $answer)
# and fail(): every method called as its sample does
# (tests/samples/methods), the settings stored and read back.

samples="$(dirname "${BASH_SOURCE[0]}")/../samples/methods"
# each_sample COMMAND: COMMAND METHOD ARGS... for every sample, in order.
each_sample() {
  local key value method="" args=()
  while read -r key value; do
    [[ $key == method && -n $method ]] && "$1" "$method" "${args[@]}"
    [[ $key == method ]] && method=$value args=()
    [[ $key == input ]] && args+=("$value")
  done <"$samples"
  "$1" "$method" "${args[@]}"
}
set_sample() { [[ $1 != Set* ]] || call "$@"; }
store_settings() { each_sample set_sample; }
# check_stored_settings WHEN: the Get of each Set answers its sample's outputs.
check_stored_settings() {
  when=$1
  get_sample() {
    [[ $1 == Set* ]] || return 0
    call "Get${1#Set}"
    [[ $answer == *"$(sed -n "/^method Get${1#Set}\$/,/^\$/s/^output //p" "$samples")"* ]] ||
      fail "$when: Get${1#Set} lost what was set: $answer"
  }
  each_sample get_sample
}
call_every_method() {
  each_sample call
  store_settings
}
