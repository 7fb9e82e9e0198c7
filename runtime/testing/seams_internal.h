// The runtime's side of the test seams in host_testing.h: the hooks that
// the object model, tracing, the package query and the transport call.
// The seams themselves are in libqmx_HostTesting.so, which only tests load.
// When it is loaded, each runtime library hands it its hook table as the
// library starts, through a weak reference that a device leaves unresolved;
// there nothing can switch a hook on, and each check costs one load.
// Nothing here is exported.

#ifndef QMX_RUNTIME_TESTING_SEAMS_INTERNAL_H_
#define QMX_RUNTIME_TESTING_SEAMS_INTERNAL_H_

#include <atomic>
#include <memory>
#include <string>

#include "host/wbem.h"
#include "runtime/testing/host_testing.h"

namespace qmx {

class TransportChannel;

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
// while one lives (0 when none does).
constexpr int kCaptureAlive = 1 << 30;
extern std::atomic<int> g_captureMask;
void CaptureTraceLine(const testing::TraceLine& line);

// Fake packages: true when a FakePackages is alive; *version is then its
// answer ("" for a package it does not have).
bool FakePackageVersion(const std::string& name, std::string* version);

// What libqmx_ComLib.so hands the test library: its switches, and the
// calls the test library fills in to serve them.
struct ObjectSeams {
  std::atomic<bool>* faultsArmed;
  std::atomic<int>* captureMask;
  const std::atomic<int>* liveObjects;
  HRESULT (*checkFault)(testing::HostOperation op, const char* name);
  void (*captureLine)(const testing::TraceLine& line);
  bool (*fakePackageVersion)(const std::string& name, std::string* version);
};

using ChannelMaker = std::unique_ptr<TransportChannel> (*)(
    const std::string& componentName, const std::string& configPath);

// What libqmx_ProviderBase.so hands the test library: the real channel,
// for a test that wraps it, and the call the test library fills in to make
// a channel of its own (null from that call: the socket channel).
struct TransportSeams {
  ChannelMaker socketChannel;
  ChannelMaker testChannel;
};

// Defined by the test library only.
void AttachObjectSeams(ObjectSeams* seams)
    __attribute__((weak, visibility("default")));
void AttachTransportSeams(TransportSeams* seams)
    __attribute__((weak, visibility("default")));

}  // namespace internal
}  // namespace qmx

#endif  // QMX_RUNTIME_TESTING_SEAMS_INTERNAL_H_
