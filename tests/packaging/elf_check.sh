#!/usr/bin/env bash
# Holds what ships to the distribution's standards: every ELF file named
# (or found under a folder named) passes hardening-check (stack protector,
# _FORTIFY_SOURCE, RELRO with immediate binding, PIE, stack clash
# protection where it has large frames), and none imports the
# 32-bit file or time calls that _FILE_OFFSET_BITS=64 and _TIME_BITS=64
# replace: on i386 those fail on large inode numbers and wrap in 2038. The
# runtime libraries export exactly what their symbols file lists (the
# runtime's ABI; no test seam), and a file installed in /usr has no
# RUNPATH. The provider imports of them only the
# host calls it is built for, as a real host framework has no others, and
# takes no lock, not even the guard of a table built at its first use.
#   elf_check.sh FILE|DIR...
set -euo pipefail
if ! command -v hardening-check >/dev/null; then
  echo "skipped: hardening-check (devscripts) is not installed"
  exit 77
fi
files=()
for arg in "$@"; do
  while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] && files+=("$file")
  done < <(find "$arg" -type f -print0)
done
[ ${#files[@]} -gt 0 ] || { echo "elf check: no ELF file in $*" >&2; exit 1; }

# The 32-bit variants, as glibc names them without the two macros.
narrow='open|openat|creat|fopen|freopen|truncate|ftruncate|lseek|pread|pwrite|mmap|fcntl'
narrow+='|stat|fstat|lstat|fstatat|stat64|fstat64|lstat64|fstatat64|statfs|fstatfs'
narrow+='|__xstat|__fxstat|__lxstat|__fxstatat|__xstat64|__fxstat64|__lxstat64|__fxstatat64'
narrow+='|readdir|readdir_r|scandir|alphasort|glob|nftw|fts_open'
narrow+='|time|clock_gettime|clock_getres|clock_nanosleep|nanosleep|gettimeofday|settimeofday'
narrow+='|gmtime|gmtime_r|localtime|localtime_r|mktime|timegm|ctime|difftime|utime|utimes'
narrow+='|futimens|utimensat|select|pselect|ppoll|setsockopt|getsockopt|recvmmsg'
narrow+='|sem_timedwait|pthread_cond_timedwait|pthread_mutex_timedlock|timerfd_settime|sigtimedwait'
abi=$(dirname "$0")/../../debian/qmx-host-runtime.symbols
calls='CFileTransfer::(CFileTransfer|RecvMessage|SendMessage)|CFileUtility::GetPackageVersion
  |CIWbemUtil::(get(Bool|Int|ParameterClass|String)From|set(Bool|Int|Long|ParameterClass|ReturnValue|String)To)IWbemClassObject
  |CStringUtil::(StringToTstring|TstringToString|strReplace)|CTraceUtility::Write(Debug|Trace)
  |CVELTRAX_ServerService::(ExecMethodAsync|GetProviderName|GetProviderVersion|writeDLLFileVersionLog)
  |CVELTRAX_SysService::~?CVELTRAX_SysService|QmxException::set_transrator|SysAllocString
  |SysFreeString|lstrcmpW|typeinfo for (CFileTransfer|CVELTRAX_ServerService|CVELTRAX_SysService)'
calls=$(tr -d '\n' <<<"$calls" | sed -E 's/ +\|/|/g')
symbols() { nm -D -C "$@" | sed -E 's/^[0-9a-f ]+ [A-Za-z] //; s/@.*//' | sort -u; }
runtime=() provider=""
status=0
flag() { echo "elf check: $*" >&2; status=1; }
for file in "${files[@]}"; do
  case ${file##*/} in
    libqmxp_Veltrax_UpdateManager.so) provider=$file ;;
    libqmx_ComLib.so | libqmx_ProviderBase.so)
      runtime+=("$file")
      diff=$(diff <(nm -D --defined-only "$file" | awk '{ print $3 }' | sort) <(awk -v lib="${file##*/}" \
          '/^[^ #*]/ { listed = $1 == lib } listed && /^ / { sub(/@Base$/, "", $1); print $1 }' "$abi" | sort)) ||
        flag "$file exports (<) other than $abi lists (>):" $diff ;;
  esac
  if [[ $file == */usr/* ]] && readelf -d "$file" | grep -q RUNPATH; then flag "$file has a RUNPATH"; fi
  # No control flow protection on i386: Debian 12's C library start files
  # lack the property that marks a file as protected (see README).
  report=$(hardening-check --nocfprotection "$file" 2>&1) || flag "$report"
  # Only i386 has the narrow variants; a 64-bit build's are already wide.
  [ "$(od -An -tu1 -j4 -N1 "$file" | tr -d ' ')" = 1 ] || continue
  imported=$(nm -D --undefined-only "$file" | awk '{print $2}' | sed 's/@.*//' |
             grep -E -x "$narrow" | tr '\n' ' ') || true
  [ -z "$imported" ] || flag "$file imports 32-bit file or time calls: $imported"
done
if [ -n "$provider" ] && [ ${#runtime[@]} -eq 2 ]; then
  unknown=$(symbols --undefined-only "$provider" | comm -12 - <(symbols --defined-only "${runtime[@]}") |
    sed -E 's/\(.*//; s/\[abi:[^]]*\]//' | grep -v -x -E "$calls") || true
  unknown+=$(symbols --undefined-only "$provider" | grep -E '^(__cxa_guard|pthread_)') || true
  [ -z "$unknown" ] || flag "$provider imports host calls a host framework lacks, or a lock:" $unknown
fi
[ $status -eq 0 ] &&
  echo "elf check: ${#files[@]} files hardened, no 32-bit file or time call, the runtime's" \
    "exports as listed, no import past the provider's host calls"
exit $status
