// What a piece of work costs without a clock: the system calls it makes and
// the allocations it asks for. Counts do not move with the machine's load,
// so a change shows in them where a time would hide it in the noise.

#ifndef QMX_BENCH_COUNTERS_H_
#define QMX_BENCH_COUNTERS_H_

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qmx {
namespace bench {

// The system calls of one piece of work through the C library's wrappers
// (bench/libc_calls.h), averaged over its runs.
struct SyscallCounts {
  double total = 0;
  // The fewest of one run: the run whose peer never kept it waiting, so
  // that timing cannot move it.
  double least = 0;
  double stats = 0;  // stat, lstat, fstatat by any of their names
  std::map<std::string, double> byName;
};

// Runs each piece of work runs times, after one run that is not counted
// (first-use costs), and counts the system calls of the counted runs.
std::vector<SyscallCounts> CountSyscalls(
    const std::vector<std::function<void()>>& work, int runs);

// The allocations (operator new of any form) made by runs runs of work,
// after one that is not counted, per run; -1 where a sanitizer keeps its
// own operator new.
double CountAllocations(const std::function<void()>& work, int runs);

// Processor time of this process per run of work (all its threads), over
// runs runs after one that is not counted.
double CpuUsPerRun(const std::function<void()>& work, int runs);

}  // namespace bench
}  // namespace qmx

#endif  // QMX_BENCH_COUNTERS_H_
