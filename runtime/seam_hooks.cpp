// The object model's, tracing's and the package query's hooks for test
// seams. They stay off unless libqmx_HostTesting.so is loaded and attaches.

#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace internal {
namespace {

std::atomic<int> g_liveObjects{0};

ObjectSeams g_seams = {&g_faultsArmed, &g_captureMask, &g_liveObjects,
                       nullptr, nullptr, nullptr};

// Runs as the library starts, before any caller can reach a hook.
[[maybe_unused]] const bool g_attached = [] {
  if (AttachObjectSeams == nullptr) return false;
  AttachObjectSeams(&g_seams);
  return true;
}();

}  // namespace

std::atomic<bool> g_faultsArmed{false};
std::atomic<int> g_captureMask{0};

void CountObjectMade() { g_liveObjects.fetch_add(1, std::memory_order_relaxed); }
void CountObjectGone() { g_liveObjects.fetch_sub(1, std::memory_order_relaxed); }

HRESULT CheckInjectedFault(testing::HostOperation op, const char* name) {
  if (g_seams.checkFault == nullptr) return WBEM_S_NO_ERROR;
  return g_seams.checkFault(op, name);
}

void CaptureTraceLine(const testing::TraceLine& line) {
  if (g_seams.captureLine != nullptr) g_seams.captureLine(line);
}

bool FakePackageVersion(const std::string& name, std::string* version) {
  return g_seams.fakePackageVersion != nullptr &&
         g_seams.fakePackageVersion(name, version);
}

}  // namespace internal
}  // namespace qmx
