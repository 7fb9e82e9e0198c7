#!/usr/bin/env bash
# Installs the packages that scripts/package left in build/packages (or
# $QMX_PACKAGES) with dpkg into a throw-away root: what they install and
# export, and what a booted system's apt and systemd (the system test) do
# not try: each package with 42.0's other one (built from its own tree),
# calling every method with the installed service run as its unit's user
# and the installed qmx-call; upgrades from 42.0 with the configuration
# changed and unchanged; then upgrades to packages of a later version whose
# service knows one more state key and downgrades back, keeping the
# settings each time, purges everything and checks nothing is left.
#   packaging_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
# Minutes of builds and dpkg runs: only the "packaging" test preset asks
# for them, so that a plain ctest run over every label (as a mutation run
# does) stays quick.
if [ -z "${QMX_PACKAGING_TEST:-}" ]; then
  echo "skipped: run by 'ctest --preset packaging', which sets QMX_PACKAGING_TEST"
  exit 77
fi
src=$1
build=$(cd "$2" && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing into a root with dpkg takes root"
  exit 77
fi
now=$(cd "${QMX_PACKAGES:-$src/build/packages}" && pwd)
ls "$now"/qmx-host-runtime_*_i386.deb >/dev/null 2>&1 ||
  { echo "packaging test: no packages in $now: run scripts/package first" >&2; exit 1; }

work=$build/packaging-test
root=$work/root
service_pid=""
# stop_service [KILL]: with KILL, how the service ends is not checked.
stop_service() {
  [ -n "$service_pid" ] || return 0
  kill -"${1:-TERM}" "$service_pid"
  local status=0
  wait "$service_pid" || status=$?
  service_pid=""
  [ $status -eq 0 ] || [ "${1:-}" = KILL ] || fail "the service exited $status: $(cat "$work/service.log")"
}
trap 'stop_service; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
fail() {
  echo "packaging test: $*" >&2
  exit 1
}
rm -rf "$work"
# The folders every Debian system with systemd has, so that what is left
# after the purge is ours. (/opt, which base-files owns there, is left out:
# no package here owns it, so dpkg makes and removes it with ours.)
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/systemd" \
  "$root/etc/systemd/system" "$root/var/log" "$root/run"
ln -s ../run "$root/var/run"
touch "$root/var/lib/dpkg/status"

version=$(dpkg-deb -f "$now"/qmx-host-runtime_*_i386.deb Version)
standin=$(dpkg-deb -f "$now"/qmxupdtmngr_*_i386.deb Version)
next=$version.1
"$src/scripts/package" --nocheck --version "$next" --out "$work/next" \
  -DQMX_TEST_EXTRA_STATE_KEY=ON >/dev/null
# The 42.0 packages, built by their own tree's script.
git clone --quiet "$src" "$work/old-tree"
git -C "$work/old-tree" checkout --quiet 20cbcf3
"$work/old-tree/scripts/package" --out "$work/old" >/dev/null

# The three packages in a folder, without their debug symbols.
debs() { echo "$1"/qmx-updatemanager-provider_*_i386.deb "$1"/qmx-host-runtime_*_i386.deb \
  "$1"/qmxupdtmngr_*_i386.deb; }
# As apt does, a package that an upgrade's Breaks would break is
# deconfigured until its own upgrade in the same run.
try_dpkg() {
  dpkg --root="$root" --force-script-chrootless --force-depends --auto-deconfigure "$@" \
    </dev/null >>"$work/dpkg.log" 2>&1
}
dpkg_root() { try_dpkg "$@" || fail "dpkg $*: $(tail -n 20 "$work/dpkg.log")"; }
dpkg_root --add-architecture i386
snapshot() { (cd "$root" && find . -path ./var/lib/dpkg -prune -o -print | sort); }
snapshot >"$work/before"

# The service as qmxupdtmngr.service runs it, as far as its files go: a
# user of the dynamic range, umask 0077, no privileges. (The unit's whole
# confinement under systemd is the system test's.)
uid=61184
start_service() {
  install -d -o $uid -g $uid -m 0700 "$root/var/lib/qmxupdtmngr"
  install -d -o $uid -g $uid -m 0755 "$root/var/run/qmx"
  # Emptied here, not by the redirection below: that happens in the child,
  # which may run after the wait for "listening on" has read the last
  # start's log.
  : >"$work/service.log"
  (umask 0077; exec setpriv --reuid=$uid --regid=$uid --clear-groups --no-new-privs \
    --inh-caps=-all --bounding-set=-all -- env QMX_ROOT="$root" "$root/usr/sbin/qmxupdtmngr") \
    2>>"$work/service.log" &
  service_pid=$!
  for _ in $(seq 100); do
    grep -qs "listening on" "$work/service.log" && return 0
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
  done
  fail "the installed service did not start: $(cat "$work/service.log")"
}

# call METHOD ARGS...: the installed qmx-call; its JSON answer in $answer.
# Between versions ($mixed), a method that fails asks for a Breaks.
call() {
  answer=$(QMX_ROOT=$root QMX_TRACE_LEVEL=31 "$root/usr/bin/qmx-call" --json "$@") ||
    fail "qmx-call $* exited $?: $answer${mixed:+ ($mixed: if a list on the wire \
changed, declare Breaks by raising WIRE_VERSION in debian/rules)}"
}
. "$src/tests/support/method_calls.sh"
check_settings() {
  check_stored_settings "$1"
  if ls "$root/var/lib/qmxupdtmngr/" | grep -q corrupt; then
    fail "$1: the state file was set aside: $(cat "$work/service.log")"
  fi
}

config=/etc/qmx/um/SocketConfig.ini
link=$root/opt/veltrax/qmx/um/SocketConfig.ini
# The link is absolute, as policy wants; under QMX_ROOT it would lead out
# of the throw-away root, so here it leads to the same file relatively.
relink() { [ ! -L "$link" ] || ln -sfn "../../../..$config" "$link"; }
# The configuration as an install or an upgrade leaves it: one conffile in
# /etc/qmx/um, holding $1, the framework's path a link to it, nothing aside.
check_config() {
  local conffiles
  conffiles=$(dpkg-query --root="$root" -W -f='${Conffiles}' qmx-updatemanager-provider)
  [ "$(awk 'NF { print $1, NF }' <<<"$conffiles")" = "$config 2" ] ||
    fail "$2: conffiles: $conffiles"
  [ "$(readlink "$link")" = "$config" ] || fail "$2: $link is no link to $config"
  relink
  grep -q "^ConnectTimeoutMs=$1$" "$root$config" || fail "$2: $(cat "$root$config")"
  aside=$(find "$root/opt" "$root/etc/qmx" -name '*.dpkg-*' ! -name '*.dpkg-new')
  [ -z "$aside" ] || fail "$2: left aside: $aside"
}

dpkg_root -i $(debs "$now")
installed=$(dpkg-query --root="$root" -W -f='${Version} ${Status}' qmxupdtmngr)
[ "$installed" = "$standin install ok installed" ] || fail "dpkg has qmxupdtmngr $installed"
dpkg --compare-versions "$standin" lt 0.1 || fail "the stand-in's version $standin is not below 0.1"
check_config 5000 "first install"
# The runtime libraries export no more than the host interface of host/
# and the host program's calls of runtime/repository.h, trace_control.h
# and service_exchange.h: no test seam. (A name missing there fails the
# calls of the mixed pairs below.)
interface='CFileTransfer|CFileUtility|CIWbemUtil|CStringUtil|CTraceUtility|CVELTRAX_ServerService
  |CVELTRAX_SysService|QmxException|IWbemClassObject|IWbemContext|IWbemObjectSink|IWbemServices
  |VariantInit|VariantClear|SysAllocString|SysFreeString|lstrcmpW|qmx::CreateContext
  |qmx::LoadRepository|qmx::LoadRepositoryFromText|qmx::RecordingSink|qmx::ReloadTraceLevel
  |qmx::SetTraceMirror|qmx::TraceLevel|qmx::ExchangeWithService'
interface=$(tr -d ' \n' <<<"$interface")
exported=$(for lib in libqmx_ComLib.so libqmx_ProviderBase.so; do
  nm -D -C --defined-only "$root/usr/lib/$lib" | cut -c 12-; done |
  sed -E 's/^(typeinfo name for |typeinfo for |vtable for )//; s/\(.*//')
unlisted=$(grep -v -E "^($interface)(::|$)" <<<"$exported") || true
[ -z "$unlisted" ] || fail "the runtime libraries export more than the host interface: $unlisted"
MANPATH=$root/usr/share/man man -w qmx-call qmxupdtmngr qmx-socket-config >/dev/null ||
  fail "man does not find the manual pages"
# Each program's --help names the options its manual page describes.
for pair in bin/qmx-call:man1/qmx-call.1 sbin/qmxupdtmngr:man8/qmxupdtmngr.8; do
  options() { grep -o -e '--[a-z]\+' | sort -u; }
  help=$("$root/usr/${pair%%:*}" --help | options)
  page=$(MANWIDTH=200 man -l "$root/usr/share/man/${pair#*:}.gz" 2>/dev/null |
    sed -n '/^OPTIONS/,/^[A-Z]/p' | options)
  [ "$help" = "$page" ] || fail "${pair%%:*} --help and its manual page differ: $help / $page"
done

purge() {
  dpkg_root --purge qmx-updatemanager-provider qmx-host-runtime qmxupdtmngr
  snapshot >"$work/after"
  diff "$work/before" "$work/after" >"$work/left" || fail "left after purge $1: $(cat "$work/left")"
}
purge "of the first install"

# The wire lists carry no version: a provider with the host of its own
# version and a service of another work together, or dpkg refuses the
# pair by a Breaks (debian/control).
for mixed in "today's provider with 42.0's service" "42.0's provider with today's service"; do
  host=$now service=$work/old
  [[ $mixed == 42.0* ]] && host=$work/old service=$now
  if try_dpkg -i "$host"/qmx-updatemanager-provider_*.deb "$host"/qmx-host-runtime_*.deb \
       "$service"/qmxupdtmngr_*.deb; then
    relink
    start_service
    call_every_method
    # 42.0's service could die of SIGTERM where i386 programs are emulated.
    stop_service KILL
    echo "packaging: $mixed: every method works"
  else
    tail -n 20 "$work/dpkg.log" | grep -q " breaks " || fail "dpkg: $(tail -n 20 "$work/dpkg.log")"
    echo "packaging: $mixed: refused by a Breaks"
  fi
  purge "of $mixed"
done
mixed=""

# From 42.0, whose configuration was a conffile at the framework's path:
# an administrator's change is carried to /etc/qmx/um (this version's file
# beside it as .dpkg-new); an unchanged file is simply replaced.
for changed in 4000 5000; do
  dpkg_root -i $(debs "$work/old")
  sed -i "s/^ConnectTimeoutMs=5000/ConnectTimeoutMs=$changed/" "$link"
  dpkg_root -i $(debs "$now")
  check_config $changed "upgrade from 42.0 with ConnectTimeoutMs=$changed"
  if [ $changed = 4000 ]; then
    cmp -s "$root$config.dpkg-new" "$src/packaging/SocketConfig.ini" ||
      fail "upgrade from 42.0 with a changed configuration: no $config.dpkg-new"
    purge "after the upgrade from 42.0"
  else
    [ ! -e "$root$config.dpkg-new" ] || fail "upgrade from 42.0: an unchanged file was kept"
  fi
done

# An administrator's change to the configuration survives the upgrade.
sed -i 's/^ConnectTimeoutMs=5000/ConnectTimeoutMs=4000/' "$root$config"
start_service
store_settings
stop_service
dpkg_root -i $(debs "$work/next")
check_config 4000 "upgrade to $next"
start_service
check_settings "upgrade to $next"
store_settings
stop_service
dpkg_root -i $(debs "$now")
start_service
check_settings "downgrade to $version"
stop_service

purge "at the end"
echo "packaging: installed, served, purged; mixed with 42.0; upgraded from 42.0 with the configuration changed and unchanged, to $next, downgraded and purged"
