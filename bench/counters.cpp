#include "bench/counters.h"

#include <time.h>

#include <cstdlib>
#include <new>

#include "bench/libc_calls.h"

namespace qmx {
namespace bench {
namespace {

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Every operator new of the program comes through here. Counted for the
// thread that allocates, where a counted call runs, without a locked
// instruction that the call would pay for and the floor hardly would.
thread_local long g_allocations = 0;

void* Allocate(size_t size) {
  ++g_allocations;
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
#endif

}  // namespace

std::vector<SyscallCounts> CountSyscalls(
    const std::vector<std::function<void()>>& work, int runs) {
  std::vector<SyscallCounts> result;
  for (const auto& each : work) {
    each();
    std::vector<long> sums(static_cast<size_t>(LibcCallRows()));
    long least = -1;
    for (int run = 0; run < runs; ++run) {
      CountLibcCalls(true);
      each();
      CountLibcCalls(false);
      long total = 0;
      for (int row = 0; row < LibcCallRows(); ++row) {
        sums[static_cast<size_t>(row)] += LibcCallCount(row);
        total += LibcCallCount(row);
      }
      if (least < 0 || total < least) least = total;
    }
    SyscallCounts counts;
    counts.least = static_cast<double>(least);
    for (int row = 0; row < LibcCallRows(); ++row) {
      double per_run = static_cast<double>(sums[static_cast<size_t>(row)]) / runs;
      if (per_run == 0) continue;
      counts.byName[LibcCallName(row)] = per_run;
      counts.total += per_run;
      if (row == LibcStatRow()) counts.stats = per_run;
    }
    result.push_back(counts);
  }
  return result;
}

double CountAllocations(const std::function<void()>& work, int runs) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)work;
  (void)runs;
  return -1;
#else
  work();
  long before = g_allocations;
  for (int run = 0; run < runs; ++run) work();
  return static_cast<double>(g_allocations - before) / runs;
#endif
}

double CpuUsPerRun(const std::function<void()>& work, int runs) {
  work();
  struct timespec start, end;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
  for (int run = 0; run < runs; ++run) work();
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
  double us = static_cast<double>(end.tv_sec - start.tv_sec) * 1e6 +
              static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e3;
  return us / runs;
}

}  // namespace bench
}  // namespace qmx

// The program's operator new and delete, counted. The forms with an
// alignment or a nothrow tag are left to the library: nothing here uses
// them on a hot path. Under a sanitizer its own allocator stays, and
// allocations are not counted (-1).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
void* operator new(size_t size) { return qmx::bench::Allocate(size); }
void* operator new[](size_t size) { return qmx::bench::Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
#endif
