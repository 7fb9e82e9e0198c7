#!/usr/bin/env bash
# The packages as a device runs them: a minimal Debian 12 root, built once
# per run with mmdebstrap and booted with systemd-nspawn, gets this tree's
# packages with apt; the real systemd runs the units. Every check is made
# from outside through nsenter: socket activation, readiness, confinement,
# the runtime folder's owner, a quiet journal, signals, restart, stop time,
# the unit's exposure rating, an upgrade to a later version whose service
# keeps one state key more and the downgrade back, each package beside
# 42.0's other one, upgrades from 42.0 with the configuration changed and
# unchanged, and a purge that leaves the root as it was. Prints each
# step's time.
#   system_test.sh SOURCE_DIR BUILD_DIR
# Minutes of downloads: only the "system" test preset runs it (common.sh).
. "$(dirname "$0")/common.sh"

version=$(product_version)
next=$version.1

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

boot_container "$work/root"
step "container booted"
# What every check of the purge compares with.
inside_snapshot >"$work/before"

# --- install -----------------------------------------------------------------
apt_install ./now/*.deb || fail "apt install: $(tail -n 20 "$work/apt.log")"
pass "apt install ./*.deb resolves the i386 dependencies from the mirror"
step "apt install ./*.deb (i386 dependencies from the mirror)"
check_runnable
[ "$(unit_state qmxupdtmngr.socket)" = active/listening ] ||
  fail "the socket does not listen after the install: $(unit_state qmxupdtmngr.socket)"
[ "$(unit_state qmxupdtmngr.service)" = inactive/dead ] ||
  fail "the service runs after the install, before any request: $(unit_state qmxupdtmngr.service)"
pass "after the install the socket listens and the service is not running"

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
echo "the first start's journal:"
inside journalctl -b --no-pager -o short-monotonic -u qmxupdtmngr.service -u qmxupdtmngr.socket
call_every_method
check_stored_settings "first install"
inside qmx-call --check >"$work/check" 2>&1 || fail "qmx-call --check: $(cat "$work/check")"
pass "every method works through the installed qmx-call; --check all ok"
step "first start and every method"

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
inside systemctl kill -s HUP --kill-who=main qmxupdtmngr.service
sleep 1
[ "$(unit_state qmxupdtmngr.service)" = active/running ] &&
  [ "$(unit_show qmxupdtmngr.service MainPID)" = "$pid" ] && try_call GetQmxStatus ||
  fail "SIGHUP ended the service: $(unit_state qmxupdtmngr.service)"
pass "SIGHUP leaves the service serving"
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
started=$EPOCHREALTIME
inside systemctl stop qmxupdtmngr.service
took=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')
awk -v t="$took" 'BEGIN { exit !(t <= 1.0) }' || fail "systemctl stop took $took s"
pass "systemctl stop takes $took s"
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
call GetQmxStatus
inside sed -i 's/^ConnectTimeoutMs=5000/ConnectTimeoutMs=4000/' /etc/qmx/um/SocketConfig.ini
socket_run=$(unit_show qmxupdtmngr.socket InvocationID)
service_run=$(unit_show qmxupdtmngr.service InvocationID)
apt_install ./next/*.deb || fail "apt upgrade: $(tail -n 20 "$work/apt.log")"
installed=$(inside dpkg-query -W -f='${Version}' qmxupdtmngr)
[ "$installed" = "0~$next+standin" ] || fail "the upgrade left qmxupdtmngr $installed"
inside grep -q '^ConnectTimeoutMs=4000' /opt/veltrax/qmx/um/SocketConfig.ini ||
  fail "the upgrade replaced the administrator's SocketConfig.ini"
check_stored_settings "upgrade to $next"
pass "the upgrade keeps the settings and the administrator's conffile"
[ "$(unit_show qmxupdtmngr.socket InvocationID)" != "$socket_run" ] &&
  [ "$(unit_show qmxupdtmngr.service InvocationID)" != "$service_run" ] ||
  fail "the upgrade did not restart both units (their InvocationIDs did not change)"
pass "the upgrade restarts both units"
step "upgrade to $next"

# --- downgrade -------------------------------------------------------------------
store_settings  # saved by $next's service, with its key more
apt_install --allow-downgrades ./now/*.deb || fail "apt downgrade: $(tail -n 20 "$work/apt.log")"
check_stored_settings "downgrade to $version"
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
# From 42.0, whose configuration was a conffile at the framework's path: an
# administrator's change is carried over to /etc/qmx/um, this version's
# file beside it as .dpkg-new; an unchanged file is simply replaced. (The
# stand-in's version, 42.0~standin then, sorts after today's 0~...+standin.)
config=/etc/qmx/um/SocketConfig.ini
for changed in 4000 5000; do
  apt_install ./old/*.deb || fail "apt install 42.0: $(tail -n 20 "$work/apt.log")"
  inside sed -i "s/^ConnectTimeoutMs=5000/ConnectTimeoutMs=$changed/" /opt/veltrax/qmx/um/SocketConfig.ini
  apt_install --allow-downgrades ./now/*.deb ||
    fail "apt upgrade from 42.0: $(tail -n 20 "$work/apt.log")"
  conffiles=$(inside dpkg-query -W -f='${Conffiles}' qmx-updatemanager-provider | awk 'NF { print $1 }')
  [ "$conffiles" = $config ] || fail "conffiles after the upgrade from 42.0: $conffiles"
  [ "$(inside readlink /opt/veltrax/qmx/um/SocketConfig.ini)" = $config ] ||
    fail "the framework's path is no link to $config"
  inside grep -q "^ConnectTimeoutMs=$changed$" $config || fail "$config: $(inside cat $config)"
  aside=$(inside find /opt /etc/qmx -name '*.dpkg-*')
  expected=""
  [ $changed = 5000 ] || expected=$config.dpkg-new
  [ "$aside" = "$expected" ] || fail "ConnectTimeoutMs=$changed: beside it: ${aside:-nothing}"
  [ -z "$expected" ] || inside cat $expected | cmp -s - "$src/packaging/SocketConfig.ini" ||
    fail "$expected is not this version's file"
  call GetQmxStatus
  purge
done
pass "from 42.0, a changed configuration is carried over and an unchanged one replaced"
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
[ -z "$left$removed" ] ||
  fail "after the purge, left: ${left:-nothing}; gone or changed: ${removed:-nothing}"
pass "apt purge leaves no process, unit or file of ours and removes nothing"
step "purge"
finish
