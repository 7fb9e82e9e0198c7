#include <atomic>

#include "runtime/testing/host_testing.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace {

std::atomic<int> g_liveObjects{0};

}  // namespace

namespace internal {

void CountObjectMade() { g_liveObjects.fetch_add(1, std::memory_order_relaxed); }
void CountObjectGone() { g_liveObjects.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace internal

namespace testing {

int LiveObjectCount() { return g_liveObjects.load(); }

}  // namespace testing
}  // namespace qmx
