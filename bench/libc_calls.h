// The counters of bench/libc_calls.cpp: system calls made through the C
// library's wrappers, by the program and every library it loaded. Calls the
// C library makes inside itself (the allocator's mmap and munmap of a large
// block) do not pass through a wrapper and are not counted.

#ifndef QMX_BENCH_LIBC_CALLS_H_
#define QMX_BENCH_LIBC_CALLS_H_

namespace qmx {
namespace bench {

// Starts counting from zero, or stops.
void CountLibcCalls(bool on);

// The rows counted, their names and counts.
int LibcCallRows();
const char* LibcCallName(int row);
long LibcCallCount(int row);
// The row of the calls that look a path up (stat, lstat, fstatat).
int LibcStatRow();

}  // namespace bench
}  // namespace qmx

#endif  // QMX_BENCH_LIBC_CALLS_H_
