#!/usr/bin/env bash
# The packages as a device runs them. First each maintainer script against
# a DPKG_ROOT, whole and stopped at each step and run again. Then a minimal
# Debian 12 root, built once per run with mmdebstrap and booted with
# systemd-nspawn, gets this tree's packages with apt; the real systemd runs
# the units. Every check is made from outside through nsenter: socket
# activation, readiness, confinement, the runtime folder's owner, a quiet
# journal, the package's own test (debian/tests), signals, restart, the
# unit's exposure rating, is-enabled after every install, upgrade and
# downgrade, an upgrade to a later version whose service keeps one state
# key more, a halt and a second boot, the downgrade back, each package
# beside 42.0's other one, a plain apt upgrade from 42.0 with the
# configuration changed, and a purge that leaves the root as it was.
# Prints each step's time.
#   system_test.sh SOURCE_DIR BUILD_DIR
# Minutes of downloads: only the "system" test preset runs it (common.sh).
. "$(dirname "$0")/common.sh"

version=$(product_version)
next=$version.1
config=/etc/qmx/um/SocketConfig.ini opt=/opt/veltrax/qmx/um/SocketConfig.ini
# After each install, upgrade and downgrade: the socket enabled, the
# service only through it (its Also=).
check_enabled() {
  [ "$(inside systemctl is-enabled qmxupdtmngr.socket qmxupdtmngr.service | xargs)" = "enabled indirect" ] ||
    fail "after $1, is-enabled of socket and service: $(inside systemctl is-enabled qmxupdtmngr.{socket,service} | xargs)"
}
# ... and, before any request, the socket listening and the service not running.
check_waiting() {
  check_enabled "$1"
  [ "$(unit_state qmxupdtmngr.socket) $(unit_state qmxupdtmngr.service)" = "active/listening inactive/dead" ] ||
    fail "after $1: socket $(unit_state qmxupdtmngr.socket), service $(unit_state qmxupdtmngr.service)"
}

init_pid=""
nspawn_pid=""
cleanup() {
  local status=$?
  halt_container
  [ -n "${KEEP:-}" ] || rm -rf "$work"
  check_host_dev_null
  exit $status
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work"

# The packages are built, when build/packages has none, while the root is
# made: they need the processor, the root mostly the network.
(build_packages "$work/now" &&
  build_packages "$work/next" --version "$next" -DQMX_TEST_EXTRA_STATE_KEY=ON &&
  release_packages "$work/old") >"$work/packages.log" 2>&1 &
packages_pid=$!
make_root "$work/root" amd64,i386 --include=systemd,systemd-sysv,dbus,apt
step "root made (mmdebstrap)"
wait $packages_pid || fail "building the packages: $(tail -n 20 "$work/packages.log")"
step "packages of $version, $next and 42.0"
mkdir -p "$work/root/srv/qmx-test"
cp -r "$work/now" "$work/next" "$work/old" "$work/root/srv/qmx-test/"
(cd "$src" && cp --parents -r debian/tests tests/support tests/samples "$work/root/srv/qmx-test/")

# --- maintainer scripts, stopped at each step and run again --------------------
# Each row: a DPKG_ROOT set up as the row says, one maintainer script with
# its arguments, and what it must leave. The same script stopped before
# each of its commands, then run again whole, must leave the same state.
base=$work/base r=$work/mroot etc=$config
wants=/etc/systemd/system/multi-user.target.wants/qmxupdtmngr.service
sockets=/etc/systemd/system/sockets.target.wants/qmxupdtmngr.socket
mkdir -p "$work/scripts"
for deb in "$work"/now/*.deb; do
  dpkg-deb -e "$deb" "$work/scripts/$(dpkg-deb -f "$deb" Package)" && dpkg-deb -x "$deb" "$base"
done
mkdir "$base/admin"  # 42.0's record of its configuration, for preinst
printf 'Package: base-files\nStatus: install ok installed\nVersion: 12\nArchitecture: all\n
Package: qmx-updatemanager-provider\nStatus: install ok installed\nVersion: 42.0\nArchitecture: i386\nConffiles:\n %s %s\n' \
  $opt "$(git -C "$src" show 20cbcf3:packaging/SocketConfig.ini | md5sum | cut -d' ' -f1)" >"$base/admin/status"
# run STOP PACKAGE SCRIPT ARGS...: stopped before its STOPth command (0:
# never); how many it ran in $r.steps. Where systemd runs, it is hidden.
run() {
  local stop=$1 package=$2 script=$3
  shift 3
  # set -T: each command of the script and its functions count, none of a subshell.
  DPKG_ROOT=$r DPKG_ADMINDIR=$r/admin DPKG_MAINTSCRIPT_PACKAGE=$package DPKG_MAINTSCRIPT_NAME=$script \
    unshare -m bash -c '[ ! -d /run/systemd ] || mount -t tmpfs tmpfs /run/systemd; stop=$1 n=0; shift
    trap "echo \$n >$DPKG_ROOT.steps" EXIT; set -T
    trap "[ \$BASHPID != \$\$ ] || { n=\$((n + 1)); [ \$n != $stop ] || exit 99; }" DEBUG; . "$@"' \
    - "$stop" "$work/scripts/$package/$script" "$@" >/dev/null 2>&1
}
# 42.0's configuration at the framework's path, changed (or a relative link
# to a changed file), and its service enabled for multi-user.target.
old42() {
  rm "$r$opt" && mkdir -p "$r/srv" && sed 's/=5000/=4000/' "$src/packaging/SocketConfig.ini" >"$r/srv/admin.ini"
  if [ "${1:-}" = link ]; then ln -s ../../../../srv/admin.ini "$r$opt"; else mv "$r/srv/admin.ini" "$r$opt"; fi
}
enabled42() {
  printf '[Install]\nWantedBy=multi-user.target\nAlso=qmxupdtmngr.socket\n' >"$r/lib/systemd/system/qmxupdtmngr.service"
  DPKG_ROOT=$r DPKG_MAINTSCRIPT_PACKAGE=qmxupdtmngr deb-systemd-helper enable qmxupdtmngr.service >/dev/null
  cp "$base/lib/systemd/system/qmxupdtmngr.service" "$r/lib/systemd/system/"
}
logs() { mkdir -p "$r/var/log/qmx" && touch "$r"/var/log/qmx/{other,umprovider,qmx-call}.log{,.2.gz}; }
state() { (cd "$r" && find . -printf '%p %y %m %l\n' && find . -type f -exec md5sum {} +) | LC_ALL=C sort; }
provider=qmx-updatemanager-provider
rows=(
  "rm \$r\$opt && git -C \$src show 20cbcf3:packaging/SocketConfig.ini >\$r\$opt|$provider preinst upgrade 42.0|[ ! -e \$r\$opt.dpkg-moving ]"
  "old42|$provider preinst upgrade 42.0|[ -f \$r\$opt.dpkg-moving ] && [ ! -L \$r\$opt ]"
  "old42 link|$provider preinst upgrade 42.0|[ \"\$(readlink \$r\$opt.dpkg-moving)\" = /srv/admin.ini ]"
  "old42; run 0 $provider preinst upgrade 42.0|$provider postinst configure 42.0|grep -q =4000 \$r\$etc && [ -f \$r\$etc.dpkg-new ]"
  "old42 link; run 0 $provider preinst upgrade 42.0|$provider postinst configure 42.0|[ \"\$(readlink \$r\$etc)\" = /srv/admin.ini ]"
  "old42; run 0 $provider preinst upgrade 42.0|$provider postrm abort-upgrade 42.0|grep -q =4000 \$r\$opt"
  "rm -r \$r/opt|$provider postrm remove|[ -d \$r/opt ]"
  "logs|$provider postrm purge|[ -f \$r/var/log/qmx/other.log ] && ! ls \$r/var/log/qmx/umprovider*"
  "logs|qmx-host-runtime postrm purge|[ -f \$r/var/log/qmx/other.log.2.gz ] && ! ls \$r/var/log/qmx/qmx-call*"
  ":|qmxupdtmngr postinst configure|[ -L \$r\$sockets ]"
  "enabled42|qmxupdtmngr postinst configure 42.0~standin|[ -L \$r\$sockets ] && [ ! -L \$r\$wants ]"
  "run 0 qmxupdtmngr postinst configure|qmxupdtmngr postrm purge|[ ! -L \$r\$sockets ]"
)
set_up() { rm -rf "$r" && cp -a "$base" "$r" && eval "$fixture"; }
for row in "${rows[@]}"; do
  IFS='|' read -r fixture command expect <<<"$row"
  set_up && run 0 $command || fail "$command ($fixture) exited $?"
  eval "$expect" >/dev/null 2>&1 || fail "$command ($fixture) left: $(state)"
  state >"$work/once"
  for stop in $(seq "$(cat "$r.steps")"); do
    set_up && { run "$stop" $command || true; } && run 0 $command ||
      fail "$command ($fixture) run again after a stop at step $stop exited $?"
    state | diff "$work/once" - || fail "$command ($fixture), run again after a stop at step $stop"
  done
done
pass "each maintainer script, stopped at any step and run again, ends as one run does"
step "maintainer scripts stopped at each step"
# An export of 42.0's runtime gone: today's runtime must name another ABI
# (42.0 named none: the first). The host program's calls (qmx::) ship
# with their one caller, qmx-call, and are not a provider's.
abi() { dpkg-deb -f "$work"/$1/qmx-host-runtime_*.deb Provides | grep -o -E 'qmx-host-framework-abi-[0-9]+' || echo qmx-host-framework-abi-1; }
exports() { dpkg-deb -x "$work"/$1/qmx-host-runtime_*.deb "$work/x$1" && nm -D --defined-only "$work/x$1"/usr/lib/*.so | awk 'NF == 3 && $3 !~ /^_ZN3qmx/ { print $3 }' | sort -u; }
gone=$(comm -23 <(exports old) <(exports now))
[ -z "$gone" ] || [ "$(abi old)" != "$(abi now)" ] || fail "42.0's runtime exported what today's does not, under the same ABI: $gone"
pass "every export of 42.0's runtime is there, or the ABI has another name"

boot_container "$work/root"
step "container booted"
# What every check of the purge compares with.
inside_snapshot >"$work/before"

# --- install -----------------------------------------------------------------
apt_install ./now/*.deb || fail "apt install: $(tail -n 20 "$work/apt.log")"
pass "apt install ./*.deb resolves the i386 dependencies from the mirror"
step "apt install ./*.deb (i386 dependencies from the mirror)"
check_runnable
check_waiting "the install"
pass "after the install the socket listens and is enabled, and the service is not running"

# The settings it finds exposed, and its rating.
security=$(inside systemd-analyze security --no-pager qmxupdtmngr.service | grep -E '^✗|Overall') ||
  fail "systemd-analyze security gave no rating"
echo "$security"
exposure=$(grep -F Overall <<<"$security" | grep -o -E '[0-9]+\.[0-9]+')
awk -v e="$exposure" 'BEGIN { exit !(e <= 1.0) }' || fail "unit exposure above 1.0: $security"
pass "systemd-analyze security rates the unit <= 1.0"
emulator_dropin

# --- first request, every method ----------------------------------------------
call GetQmxStatus
[ "$(unit_state qmxupdtmngr.service)" = active/running ] ||
  fail "the first call did not start the service: $(unit_state qmxupdtmngr.service)"
pass "the first qmx-call GetQmxStatus starts the service"
# The package's own test (debian/tests), as autopkgtest runs it: from the
# source tree, as root, in this booted root.
inside sh -c 'cd /srv/qmx-test && debian/tests/installed' >"$work/check" 2>&1 ||
  fail "debian/tests/installed: $(cat "$work/check")"
pass "debian/tests/installed: every method works through the installed qmx-call; --check all ok"
step "first start, and the package's own test"

# --- runtime folder, journal -------------------------------------------------
# Before any stop, so that the first start's lines are all there is.
owners=$(inside stat -c '%F %U %a %n' /run/qmx /run/qmx/qmxupdtmngr.sock)
[ "$owners" = "directory root 755 /run/qmx
socket root 600 /run/qmx/qmxupdtmngr.sock" ] || fail "runtime folder and socket: $owners"
! inside test -e /run/private/qmx || fail "/run/private/qmx exists"
journal=$(unit_journal)
! grep -E "migrating|DynamicUser= turned" <<<"$journal" || fail "a runtime folder was migrated"
pass "/run/qmx and its socket stay root's; no migration"
warnings=$(unit_journal -p warning | grep -v -x -F "$container_only_warning") || true
[ -z "$warnings" ] || fail "the unit's journal has warnings: $warnings"
# The service's own lines go to standard error, which the journal keeps
# at priority info: a note there is a warning all the same. Each request
# it served is a line of its kind and result.
notes=$(inside journalctl -b --no-pager -o cat -t qmxupdtmngr | grep -v -E \
  '^qmxupdtmngr: (listening on /run/qmx/qmxupdtmngr.sock|stopped|[a-z]{8} -> 0000)$') || true
[ -z "$notes" ] || fail "the service logged: $notes"
pass "the unit's journal has no warning"
step "runtime folder and journal"

# --- restart, confinement -------------------------------------------------------
old=$(unit_show qmxupdtmngr.service MainPID)
inside systemctl restart qmxupdtmngr.service
# Type=notify: the restart returns once the new process said READY=1.
[ "$(unit_state qmxupdtmngr.service)" = active/running ] &&
  [ "$(unit_show qmxupdtmngr.service MainPID)" != "$old" ] ||
  fail "systemctl restart returned before readiness: $(unit_state qmxupdtmngr.service)"
call GetQmxStatus
pass "systemctl restart returns after readiness"

check_confinement "$(unit_show qmxupdtmngr.service MainPID)"
pass "dynamic user, Seccomp: 2, NoNewPrivs: 1, no capabilities, read-only /, hidepid, only lo"

step "restart and confinement"

# --- signals, stop -------------------------------------------------------------
pid=$(unit_show qmxupdtmngr.service MainPID)
inside systemctl kill -s KILL --kill-who=main qmxupdtmngr.service
for _ in $(seq 50); do
  [ "$(unit_state qmxupdtmngr.service)" = active/running ] &&
    [ "$(unit_show qmxupdtmngr.service MainPID)" != "$pid" ] && break
  sleep 0.2
done
[ "$(unit_show qmxupdtmngr.service NRestarts)" -ge 1 ] &&
  [ "$(unit_state qmxupdtmngr.service)" = active/running ] ||
  fail "no restart after SIGKILL: $(unit_state qmxupdtmngr.service)"
call GetQmxStatus
pass "SIGKILL is followed by a restart"
# Started on its own, the service brings up its socket first and is handed
# it: it cannot bind one itself, /run being read-only to it.
inside systemctl stop qmxupdtmngr.socket
inside systemctl start qmxupdtmngr.service
[ "$(unit_show qmxupdtmngr.socket ActiveState)/$(unit_state qmxupdtmngr.service)" = \
  active/active/running ] ||
  fail "the service started alone: socket $(unit_state qmxupdtmngr.socket), service $(unit_state qmxupdtmngr.service)"
pass "the service started alone starts its socket and is handed it"
step "signals and stop"

# --- upgrade ---------------------------------------------------------------------
# What it keeps is read back after the reboot below.
call GetQmxStatus
inside sed -i 's/^ConnectTimeoutMs=5000/ConnectTimeoutMs=4000/' $config
socket_run=$(unit_show qmxupdtmngr.socket InvocationID)
service_run=$(unit_show qmxupdtmngr.service InvocationID)
apt_install ./next/*.deb || fail "apt upgrade: $(tail -n 20 "$work/apt.log")"
check_enabled "the upgrade to $next"
installed=$(inside dpkg-query -W -f='${Version}' qmxupdtmngr)
[ "$installed" = "$next~standin" ] || fail "the upgrade left qmxupdtmngr $installed"
[ "$(unit_show qmxupdtmngr.socket InvocationID)" != "$socket_run" ] &&
  [ "$(unit_show qmxupdtmngr.service InvocationID)" != "$service_run" ] ||
  fail "the upgrade did not restart both units (their InvocationIDs did not change)"
pass "the upgrade restarts both units"
step "upgrade to $next"

# --- reboot ------------------------------------------------------------------------
# Nothing started by hand: the socket listens again, the first call starts
# the service, and what was stored and configured before the upgrade holds.
halt_container
boot_container "$work/root"
emulator_dropin
check_waiting "the reboot"
check_stored_settings "the reboot after the upgrade"
[ "$(unit_state qmxupdtmngr.service)" = active/running ] && inside grep -q '^ConnectTimeoutMs=4000' $config ||
  fail "the first call after the reboot: service $(unit_state qmxupdtmngr.service), $(inside cat $config)"
pass "after a reboot the socket listens, the first call starts the service, settings and configuration kept"
step "halt and boot again"

# --- downgrade -------------------------------------------------------------------
store_settings  # saved by $next's service, with its key more
apt_install --allow-downgrades ./now/*.deb || fail "apt downgrade: $(tail -n 20 "$work/apt.log")"
check_stored_settings "downgrade to $version"
check_enabled "the downgrade to $version"
aside=$(inside find /var/lib/qmxupdtmngr/ -name '*corrupt*')
[ -z "$aside" ] || fail "the downgrade set $next's state file aside: $aside"
pass "the downgrade keeps what $next stored and sets nothing aside"
step "downgrade to $version"
purge

# --- with 42.0 -------------------------------------------------------------------
# Each package beside 42.0's other one: every method works, or apt refuses
# the pair for a Breaks (debian/control).
for mixed in "today's provider with 42.0's service" "42.0's provider with today's service"; do
  host=now service=old
  [[ $mixed == 42.0* ]] && host=old service=now
  if apt_install ./$host/qmx-updatemanager-provider_*.deb ./$host/qmx-host-runtime_*.deb \
       ./$service/qmxupdtmngr_*.deb; then
    call_every_method
    pass "$mixed: every method works"
  else
    tail -n 20 "$work/apt.log" | grep -q "Breaks:" || fail "apt: $(tail -n 20 "$work/apt.log")"
    pass "$mixed: refused for a Breaks"
  fi
  purge
done
mixed=""
# Off 42.0, whose configuration was a conffile at the framework's path and
# whose service was enabled for multi-user.target, by a plain "apt upgrade"
# from a repository of today's packages: the administrator's change is
# carried over to /etc/qmx/um, this version's file beside it as .dpkg-new
# (the table of maintainer scripts has a link and an unchanged file).
apt_install ./old/*.deb || fail "apt install 42.0: $(tail -n 20 "$work/apt.log")"
inside sed -i "s/^ConnectTimeoutMs=5000/ConnectTimeoutMs=4000/" $opt
(cd "$work/root/srv/qmx-test/now" && dpkg-scanpackages . >Packages 2>/dev/null)
echo 'deb [trusted=yes] file:/srv/qmx-test/now ./' | inside tee /etc/apt/sources.list.d/qmx-test.list >/dev/null
inside sh -c 'apt-get update -q -o Dir::Etc::sourcelist=/dev/null -o APT::Get::List-Cleanup=0 && apt upgrade -y -q' \
  >>"$work/apt.log" 2>&1 || fail "apt upgrade from 42.0: $(tail -n 20 "$work/apt.log")"
inside rm /etc/apt/sources.list.d/qmx-test.list
installed=$(inside dpkg-query -W -f='${Version} ' qmx-host-runtime qmx-updatemanager-provider qmxupdtmngr)
[ "$installed" = "$version $version $version~standin " ] || fail "apt upgrade from 42.0 left $installed"
check_enabled "the upgrade from 42.0"
conffiles=$(inside dpkg-query -W -f='${Conffiles}' qmx-updatemanager-provider | awk 'NF { print $1 }')
[ "$conffiles" = $config ] && [ "$(inside readlink $opt)" = $config ] && inside grep -q '^ConnectTimeoutMs=4000$' $config ||
  fail "after the upgrade from 42.0: conffiles $conffiles, $(inside ls -l $opt), $(inside cat $config)"
[ "$(inside find /opt /etc/qmx -name '*.dpkg-*')" = $config.dpkg-new ] &&
  inside cat $config.dpkg-new | cmp -s - "$src/packaging/SocketConfig.ini" || fail "beside $config: $(inside ls /etc/qmx/um)"
call GetQmxStatus
purge
pass "a plain apt upgrade takes 42.0 forward; a changed configuration is carried over"
step "42.0 beside today's packages, and upgrades from it"

# --- after the last purge ---------------------------------------------------------
processes=$(inside sh -c 'grep -a -l "qmx[u-]" /proc/[0-9]*/cmdline' 2>/dev/null) || true
[ -z "$processes" ] || fail "processes left after the purge: $processes"
for unit in qmxupdtmngr.socket qmxupdtmngr.service; do
  [ "$(unit_show "$unit" LoadState)" = not-found ] ||
    fail "$unit is still known after the purge: $(unit_show "$unit" LoadState)"
done
inside_snapshot >"$work/after"
# Left: what is new and belongs to no package still installed (the i386
# libraries apt brought stay, as apt leaves required packages).
left=$(LC_ALL=C comm -13 "$work/before" "$work/after" |
  LC_ALL=C join -t $'\t' -v 1 - <(owned_paths)) || true
removed=$(LC_ALL=C comm -23 "$work/before" "$work/after")
[ -z "$left$removed" ] || fail "after the purge, left: ${left:-nothing}; gone or changed: ${removed:-nothing}"
pass "apt purge leaves no process, unit or file of ours and removes nothing"
step "purge"
finish
