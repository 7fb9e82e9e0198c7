// The test library's end of the runtime's hooks. The runtime libraries call
// the Attach functions while they start, which may be before this library's
// own initialisers have run: they only store pointers.

#include <cstdio>
#include <cstdlib>

#include "runtime/testing/attached.h"

namespace qmx {
namespace {

internal::ObjectSeams* g_objectSeams = nullptr;
internal::TransportSeams* g_transportSeams = nullptr;

[[noreturn]] void NotAttached(const char* library) {
  std::fprintf(stderr, "host testing: %s did not attach its hooks\n", library);
  std::abort();
}

}  // namespace

namespace internal {

void AttachObjectSeams(ObjectSeams* seams) {
  seams->checkFault = &testing::detail::CheckFault;
  seams->captureLine = &testing::detail::CaptureLine;
  seams->fakePackageVersion = &testing::detail::FakeVersion;
  g_objectSeams = seams;
}

void AttachTransportSeams(TransportSeams* seams) {
  seams->testChannel = &testing::detail::TestChannel;
  g_transportSeams = seams;
}

}  // namespace internal

namespace testing {
namespace detail {

internal::ObjectSeams& ObjectHooks() {
  if (g_objectSeams == nullptr) NotAttached("libqmx_ComLib.so");
  return *g_objectSeams;
}

internal::TransportSeams& TransportHooks() {
  if (g_transportSeams == nullptr) NotAttached("libqmx_ProviderBase.so");
  return *g_transportSeams;
}

}  // namespace detail
}  // namespace testing
}  // namespace qmx
