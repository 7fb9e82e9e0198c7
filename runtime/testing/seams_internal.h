// The runtime's side of the test seams in host_testing.h: the hooks that
// the object model, tracing and the package query call. Each check costs one
// atomic load while no seam of its kind is alive.

#ifndef QMX_RUNTIME_TESTING_SEAMS_INTERNAL_H_
#define QMX_RUNTIME_TESTING_SEAMS_INTERNAL_H_

#include <atomic>
#include <string>

#include "host/wbem.h"
#include "runtime/testing/host_testing.h"

namespace qmx {
namespace internal {

// Live objects: every class object and instance counts itself.
void CountObjectMade();
void CountObjectGone();

// Fault injection: WBEM_S_NO_ERROR when the operation may go ahead. Runs
// the actions registered for it (which may throw).
extern std::atomic<bool> g_faultsArmed;
HRESULT CheckInjectedFault(testing::HostOperation op, const char* name);
inline HRESULT InjectedFault(testing::HostOperation op, const char* name) {
  if (!g_faultsArmed.load(std::memory_order_acquire)) return WBEM_S_NO_ERROR;
  return CheckInjectedFault(op, name);
}

// Trace capture: the levels a live capture wants, with kCaptureAlive set
// while one lives (0 when none does; it wants every catalogue line).
constexpr int kCaptureAlive = 1 << 30;
extern std::atomic<int> g_captureMask;
void CaptureTraceLine(const testing::TraceLine& line);

// Fake packages: true when a FakePackages is alive; *version is then its
// answer ("" for a package it does not have).
bool FakePackageVersion(const std::string& name, std::string* version);

}  // namespace internal
}  // namespace qmx

#endif  // QMX_RUNTIME_TESTING_SEAMS_INTERNAL_H_
