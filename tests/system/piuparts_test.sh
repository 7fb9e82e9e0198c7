#!/usr/bin/env bash
# piuparts on an i386 Debian 12 base made with mmdebstrap (an amd64 one
# with i386 added, as on a 64-bit device, where this kernel runs i386
# programs only under an emulator, which takes over ten minutes to make an
# i386 base): installs this
# tree's packages and purges them, then installs, removes and installs them
# again, each time checking that nothing of theirs is left and that nothing
# that was there before (/opt included) went away.
#   piuparts_test.sh SOURCE_DIR BUILD_DIR
# Minutes of downloads: only the "system" test preset runs it (common.sh).
. "$(dirname "$0")/common.sh"
nspawn_pid=""
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"; check_host_dev_null' EXIT
rm -rf "$work"
mkdir -p "$work"

build_packages "$work/now" \
  >"$work/packages.log" 2>&1 &
packages_pid=$!
# On the amd64 base the i386 C and C++ libraries are part of the base, as
# on a 64-bit device made ready for i386 programs: piuparts would otherwise
# try to remove them with our packages, and apt refuses to remove what is
# essential.
base=(i386)
i386_emulated && base=(amd64,i386 --include=libc6:i386,libgcc-s1:i386,libstdc++6:i386)
make_root "$work/base" "${base[@]}"
architectures=${base[0]}
step "$architectures base made (mmdebstrap)"
wait $packages_pid || fail "building the packages: $(tail -n 20 "$work/packages.log")"
step "packages built"
status=0
piuparts --existing-chroot="$work/base" --distribution=bookworm --keep-sources-list \
  --no-eatmydata --no-upgrade-test --install-remove-install --log-file="$work/piuparts.log" \
  "$work"/now/*.deb >/dev/null 2>&1 || status=$?
grep -E '^[0-9ms.]+ [A-Z]+: (PASS|FAIL)|^[0-9ms.]+ ERROR|disappeared|left behind|owned by' \
  "$work/piuparts.log" || true
step "piuparts: install, purge, install-remove-install"
[ $status -eq 0 ] || fail "piuparts exited $status: $(grep -A 10 -E 'FAIL|ERROR' "$work/piuparts.log" | head -n 40)"
pass "piuparts"
finish
