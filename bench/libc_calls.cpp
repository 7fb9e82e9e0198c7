// The C library's system-call wrappers that a request cycle or a floor
// client may use, defined again in the benchmark so that every call from
// the program and from the libraries it loads comes through here first and
// can be counted. This works wherever a process can be traced or not (an
// emulated 32-bit process cannot be). Each wrapper passes its arguments on
// as words: every function named here takes only integers and pointers
// (an off64_t takes two words on i386, hence seven), and returns a word.
//
// No header that declares these functions may be included here, so the
// counters are plain words updated with the compiler's atomic built-ins.

#include <dlfcn.h>

#include "bench/libc_calls.h"

namespace qmx {
namespace bench {
namespace {

using Call = long (*)(long, long, long, long, long, long, long);

int g_counting = 0;

// One row per call as a person knows it; a call's other names (with
// _FILE_OFFSET_BITS=64 or _TIME_BITS=64, or in an older C library) count
// under the same row.
enum Row {
  kSocket, kConnect, kSend, kRecv, kShutdown, kSetsockopt, kGetsockopt,
  kRead, kWrite, kPread, kClose, kPoll, kStat, kFstat, kGetpid, kSyscall,
  kAccept, kEpollWait, kEpollCtl, kFcntl, kGetrlimit, kRows
};

const char* const kRowNames[kRows] = {
    "socket", "connect", "send", "recv", "shutdown", "setsockopt",
    "getsockopt", "read", "write", "pread", "close", "poll",
    "stat (of a path)", "fstat (of a descriptor)", "getpid",
    "syscall (gettid)", "accept", "epoll_wait", "epoll_ctl", "fcntl",
    "getrlimit"};

long g_counts[kRows];

void Count(Row row) {
  if (__atomic_load_n(&g_counting, __ATOMIC_RELAXED) != 0) {
    __atomic_fetch_add(&g_counts[row], 1, __ATOMIC_RELAXED);
  }
}

Call Next(const char* name) {
  return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void CountLibcCalls(bool on) {
  if (on) {
    for (long& count : g_counts) __atomic_store_n(&count, 0, __ATOMIC_RELAXED);
  }
  __atomic_store_n(&g_counting, on ? 1 : 0, __ATOMIC_RELAXED);
}

int LibcCallRows() { return kRows; }
const char* LibcCallName(int row) { return kRowNames[row]; }
long LibcCallCount(int row) { return __atomic_load_n(&g_counts[row], __ATOMIC_RELAXED); }
int LibcStatRow() { return kStat; }

}  // namespace bench
}  // namespace qmx

// A symbol the C library may not have (another ABI's name) is never called,
// since nothing was linked against it.
#define QMX_COUNTED(symbol, row)                                            \
  extern "C" long symbol(long a, long b, long c, long d, long e, long f,    \
                         long g) {                                          \
    static const qmx::bench::Call next = qmx::bench::Next(#symbol);         \
    qmx::bench::Count(qmx::bench::row);                                     \
    return next(a, b, c, d, e, f, g);                                       \
  }

QMX_COUNTED(socket, kSocket)
QMX_COUNTED(connect, kConnect)
QMX_COUNTED(send, kSend)
QMX_COUNTED(sendto, kSend)
QMX_COUNTED(recv, kRecv)
QMX_COUNTED(recvfrom, kRecv)
QMX_COUNTED(shutdown, kShutdown)
QMX_COUNTED(setsockopt, kSetsockopt)
QMX_COUNTED(__setsockopt64, kSetsockopt)
QMX_COUNTED(getsockopt, kGetsockopt)
QMX_COUNTED(__getsockopt64, kGetsockopt)
QMX_COUNTED(read, kRead)
QMX_COUNTED(write, kWrite)
QMX_COUNTED(pread, kPread)
QMX_COUNTED(pread64, kPread)
QMX_COUNTED(close, kClose)
QMX_COUNTED(poll, kPoll)
QMX_COUNTED(stat, kStat)
QMX_COUNTED(lstat, kStat)
QMX_COUNTED(fstatat, kStat)
QMX_COUNTED(stat64, kStat)
QMX_COUNTED(lstat64, kStat)
QMX_COUNTED(fstatat64, kStat)
QMX_COUNTED(__stat64_time64, kStat)
QMX_COUNTED(__lstat64_time64, kStat)
QMX_COUNTED(__fstatat64_time64, kStat)
QMX_COUNTED(__xstat, kStat)
QMX_COUNTED(__lxstat, kStat)
QMX_COUNTED(__xstat64, kStat)
QMX_COUNTED(__lxstat64, kStat)
QMX_COUNTED(fstat, kFstat)
QMX_COUNTED(fstat64, kFstat)
QMX_COUNTED(__fstat64_time64, kFstat)
QMX_COUNTED(__fxstat, kFstat)
QMX_COUNTED(__fxstat64, kFstat)
QMX_COUNTED(getpid, kGetpid)
// AddressSanitizer's runtime on i386 asks for thread ids through the C
// library's syscall() itself, some nine times a call; under it these are
// not counted, as allocations are not.
#ifndef __SANITIZE_ADDRESS__
QMX_COUNTED(syscall, kSyscall)
#endif
QMX_COUNTED(accept, kAccept)
QMX_COUNTED(accept4, kAccept)
QMX_COUNTED(epoll_wait, kEpollWait)
QMX_COUNTED(epoll_pwait, kEpollWait)
QMX_COUNTED(epoll_ctl, kEpollCtl)
QMX_COUNTED(fcntl, kFcntl)
QMX_COUNTED(fcntl64, kFcntl)
QMX_COUNTED(__fcntl_time64, kFcntl)
QMX_COUNTED(getrlimit, kGetrlimit)
QMX_COUNTED(getrlimit64, kGetrlimit)
