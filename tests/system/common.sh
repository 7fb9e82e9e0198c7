# The pieces the system tests share: a Debian 12 root made with mmdebstrap
# from the mirror this machine's apt uses, booted with systemd-nspawn and
# driven from outside with nsenter; step times. Sourced by system_test.sh and
# piuparts_test.sh with their command line (SOURCE_DIR BUILD_DIR): both are
# skipped unless the "system" test preset runs them, as root.
set -euo pipefail
skip() { echo "skipped: $*"; exit 77; }
[ -n "${QMX_SYSTEM_TEST:-}" ] || skip "run by 'ctest --preset system', which sets QMX_SYSTEM_TEST"
[ "$(id -u)" -eq 0 ] || skip "making a Debian root takes root"
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
. "$src/tests/support/method_calls.sh"

work=$build/${0##*/}
work=${work%.sh}
started_at=$EPOCHREALTIME
step_at=$EPOCHREALTIME

fail() { echo "FAIL: $*" >&2; exit 1; }
pass() { echo "ok: $*"; }
finish() { printf 'total %.1f s\n' "$(elapsed "$started_at")"; }
elapsed() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
# Ends a step: its time and the total so far.
step() {
  printf '[%6.1f s, total %6.1f s] %s\n' "$(elapsed "$step_at")" "$(elapsed "$started_at")" "$1"
  step_at=$EPOCHREALTIME
}

# The one place that knows how packages are built.
# build_packages OUT [scripts/package OPTIONS...]: the binary packages of
# this tree, without their debug symbols. With no options, those that
# scripts/package left in build/packages for this version when it did (CI
# builds them first).
product_version() { dpkg-parsechangelog -l "$src/debian/changelog" -S Version; }
build_packages() {
  local out=$1
  shift
  mkdir -p "$out"
  if [ $# -eq 0 ] && [ -f "$src/build/packages/qmx-update-manager_$(product_version)_i386.changes" ]; then
    cp "$src"/build/packages/*.deb "$out/"
  else
    "$src/scripts/package" --nocheck --out "$out" "$@" >/dev/null
  fi
  rm -f "$out"/*-dbgsym_*.deb
}
# release_packages OUT: the packages of 42.0, built by its own tree's script.
release_packages() {
  git clone --quiet "$src" "$work/release-tree"
  git -C "$work/release-tree" checkout --quiet 20cbcf3
  "$work/release-tree/scripts/package" --out "$1" >/dev/null
}

# The host's /dev/null, as it must stay: no root is ever given the host's
# devices, and this says so should anything change that.
host_dev_null=$(stat -c '%F %t:%T %a' /dev/null)
check_host_dev_null() {
  local now
  now=$(stat -c '%F %t:%T %a' /dev/null)
  [ "$now" = "$host_dev_null" ] || echo "FAIL: the host's /dev/null changed: $now" >&2
}

# The sources of this machine's apt, where the Debian 12 packages come from.
mirror() {
  local sources=/etc/apt/sources.list.d/debian.sources
  if [ -f "$sources" ]; then echo "$sources"; else echo http://deb.debian.org/debian; fi
}

# make_root DIR ARCHITECTURES [MMDEBSTRAP OPTIONS...]: a minimal Debian 12
# root, its package lists kept for apt.
# With QMX_SYSTEM_ROOTS=FOLDER, for a developer's repeated runs, each root
# made is kept there and copied on later runs; CI makes them anew.
make_root() {
  local root=$1 architectures=$2
  shift 2
  local kept=${QMX_SYSTEM_ROOTS:-}/${root##*/}-$architectures
  if [ -n "${QMX_SYSTEM_ROOTS:-}" ] && [ -e "$kept" ]; then
    cp -a "$kept" "$root"
    return
  fi
  mmdebstrap --variant=minbase --architectures="$architectures" \
    --aptopt='Acquire::Check-Valid-Until "false"' --dpkgopt=force-unsafe-io \
    --skip=cleanup/apt/lists "$@" \
    bookworm "$root" "$(mirror)" </dev/null >"$work/mmdebstrap.log" 2>&1 ||
    fail "mmdebstrap: $(tail -n 20 "$work/mmdebstrap.log")"
  [ -z "${QMX_SYSTEM_ROOTS:-}" ] || { mkdir -p "$QMX_SYSTEM_ROOTS" && cp -a "$root" "$kept"; }
}

# Boots root with its own systemd; sets $nspawn_pid and $init_pid (the
# container's systemd, whose namespaces inside enters). Skips when this
# machine cannot boot a container.
boot_container() {
  systemd-nspawn -D "$1" -M qmx-system-test --boot --register=no --keep-unit \
    --console=read-only </dev/null >"$work/console.log" 2>&1 &
  nspawn_pid=$!
  local _
  for _ in $(seq 300); do
    init_pid=$(pgrep -P "$nspawn_pid" -x systemd || true)
    # Up once its manager's socket is there.
    [ -n "$init_pid" ] && nsenter -t "$init_pid" -a test -S /run/systemd/private && break
    kill -0 "$nspawn_pid" 2>/dev/null || { init_pid=""; break; }
    sleep 0.2
  done
  [ -n "$init_pid" ] || skip "this machine cannot boot a container: $(tail -n 5 "$work/console.log")"
  local state
  state=$(timeout 60 nsenter -t "$init_pid" -a systemctl is-system-running --wait) || true
  case "$state" in
    running|degraded) ;;
    *) fail "the container's systemd is $state: $(tail -n 20 "$work/console.log")" ;;
  esac
}

# Powers the container off (nspawn passes SIGTERM on as a halt request) and
# waits for it; kills it if it hangs.
halt_container() {
  [ -n "$nspawn_pid" ] || return 0
  kill -TERM "$nspawn_pid" 2>/dev/null || true
  local _
  for _ in $(seq 100); do
    kill -0 "$nspawn_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$nspawn_pid" 2>/dev/null || true
  wait "$nspawn_pid" 2>/dev/null || true
  nspawn_pid=""
}

# inside COMMAND...: runs it in the container, in a clean environment.
inside() {
  nsenter -t "$init_pid" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
unit_show() { inside systemctl show -P "$2" "$1"; }
unit_state() { echo "$(unit_show "$1" ActiveState)/$(unit_show "$1" SubState)"; }
unit_journal() {
  inside journalctl -b --no-pager -o cat -u qmxupdtmngr.service -u qmxupdtmngr.socket "$@"
}

# Every path in the container (a tab, then its type, owner and mode) but
# the kernel's, the package managers' records and logs, systemd's and the
# console's state (/run/private: the folder systemd keeps for the runtime
# folders of dynamic users, which 42.0's unit asked for; the private
# temporary folders of each boot's services) and the test's packages: what
# a purge must leave as it was before the install.
inside_snapshot() {
  inside find / \( -path /proc -o -path /sys -o -path /dev -o -path /srv/qmx-test \
    -o -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache/apt -o -path /var/cache/debconf \
    -o -path /var/cache/ldconfig -o -path /var/log/journal -o -path /var/log/apt \
    -o -path /var/log/dpkg.log -o -path /var/log/alternatives.log -o -path /run/systemd \
    -o -path /var/lib/systemd -o -path /run/log -o -path /run/agetty.reload -o -path /run/private \
    -o -path '/tmp/systemd-private-*' -o -path '/var/tmp/systemd-private-*' \) \
    -prune \
    -o -printf '%p\t%y %u %m\n' | LC_ALL=C sort
}
# The paths of every installed package, as they lie in this /usr-merged root.
owned_paths() {
  inside sh -c 'cat /var/lib/dpkg/info/*.list' |
    sed -E 's#^/(bin|sbin|lib|lib32|lib64|libx32)(/|$)#/usr/\1\2#' | LC_ALL=C sort -u
}

# The i386 programs of this tree run natively on a 64-bit x86 kernel.
# Where binfmt_misc hands them to an emulator instead, the emulator (a
# 64-bit program that writes the code it runs) cannot run under the unit's
# MemoryDenyWriteExecute= and SystemCallArchitectures=x86: a drop-in lifts
# those two for the test and says so; every other setting stays.
emulator=""
i386_emulated() {
  local entry
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$entry" ] && grep -q '^enabled' "$entry" 2>/dev/null || continue
    grep -q '^magic 7f454c4601010100000000000000000002000300' "$entry" || continue
    emulator=$(sed -n 's/^interpreter //p' "$entry")
  done
  [ -n "$emulator" ]
}
emulator_dropin() {
  i386_emulated || return 0
  echo "NOTE: i386 programs run under $emulator here; the unit's MemoryDenyWriteExecute= and SystemCallArchitectures= are lifted for it"
  inside mkdir -p /run/systemd/system/qmxupdtmngr.service.d
  printf '[Service]\nMemoryDenyWriteExecute=no\nSystemCallArchitectures=\n' |
    inside tee /run/systemd/system/qmxupdtmngr.service.d/emulator.conf >/dev/null
  inside systemctl daemon-reload
}
# systemd cannot set up lo in the service's network namespace inside a
# container that shares the host's network without CAP_NET_ADMIN.
container_only_warning="Failed to configure loopback network device, ignoring: Operation not permitted"

# Skips where this kernel runs no i386 program, natively or emulated.
check_runnable() {
  local status=0
  inside /usr/bin/qmx-call --help >/dev/null 2>&1 || status=$?
  [ $status -ne 126 ] || skip "this machine runs no i386 program"
}

# call METHOD ARGS...: the installed qmx-call; its JSON answer in $answer.
# Between versions ($mixed), a method that fails asks for a Breaks.
mixed=""
try_call() { answer=$(inside qmx-call --json "$@" 2>&1); }
call() {
  try_call "$@" || fail "qmx-call $* exited $?: $answer${mixed:+ ($mixed: if a list on the \
wire changed, declare Breaks by raising WIRE_VERSION in debian/rules)}"
}
# apt_install ARGUMENTS...: apt-get install in the folder of the test's
# packages (now, next, old).
apt_install() {
  inside sh -c "cd /srv/qmx-test && apt-get install -y -q $*" >>"$work/apt.log" 2>&1
}
purge() {
  inside apt-get purge -y -q --autoremove qmx-updatemanager-provider qmx-host-runtime qmxupdtmngr \
    >>"$work/apt.log" 2>&1 || fail "apt purge: $(tail -n 20 "$work/apt.log")"
}

# The confinement of process pid, as its /proc shows it.
check_confinement() {
  local pid=$1 status uid mounts
  status=$(inside cat "/proc/$pid/status")
  uid=$(awk '/^Uid:/ { print $2 }' <<<"$status")
  [ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] || fail "uid $uid is not a dynamic one"
  for line in 'Seccomp:	2' 'NoNewPrivs:	1' 'CapPrm:	0000000000000000' \
              'CapEff:	0000000000000000' 'CapBnd:	0000000000000000' 'CapAmb:	0000000000000000'; do
    grep -q -x -F "$line" <<<"$status" || fail "not $line: $(grep -F "${line%%:*}" <<<"$status")"
  done
  mounts=$(inside cat "/proc/$pid/mountinfo")
  awk '$5 == "/" { options = $6 } END { exit options !~ /(^|,)ro(,|$)/ }' <<<"$mounts" ||
    fail "/ is writable: $(awk '$5 == "/"' <<<"$mounts")"
  awk '$5 == "/proc" { line = $0 } END { exit line !~ /hidepid=(invisible|2)/ }' <<<"$mounts" ||
    fail "/proc hides no process: $(awk '$5 == "/proc"' <<<"$mounts")"
  local links
  links=$(inside cat "/proc/$pid/net/dev" | awk -F: 'NR > 2 { gsub(/ /, "", $1); print $1 }')
  [ "$links" = lo ] || fail "network devices: $links"
}
