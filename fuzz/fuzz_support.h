// What the fuzz targets share: a check that turns a broken property into a
// finding, what became of an input, and traces kept in memory.

#ifndef QMX_FUZZ_FUZZ_SUPPORT_H_
#define QMX_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>

#include "runtime/trace_control.h"

namespace qmx_fuzz {

// Stops the run when a property does not hold; libFuzzer then keeps the
// input as a crash reproducer, and the message says which property broke.
inline void Check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", property);
  std::abort();
}

// Whether the target took the last input as good: a request answered
// "0000", a reply its method returned 0 for, a MOF text loaded. The seed
// replay (replay_seeds.cpp) holds each seed to what its name says.
inline bool g_accepted = false;

// Traces only to memory: a file line per trace would cost more than the
// code under test, and a long run would fill the disk.
inline void TraceToMemoryOnly() {
  setenv("QMX_TRACE_LEVEL", "0", 1);
  qmx::ReloadTraceLevel();
}

}  // namespace qmx_fuzz

#endif  // QMX_FUZZ_FUZZ_SUPPORT_H_
