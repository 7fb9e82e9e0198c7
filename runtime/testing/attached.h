// Inside the test library: the hook tables the runtime libraries handed
// over as they started, and the calls that serve them.

#ifndef QMX_RUNTIME_TESTING_ATTACHED_H_
#define QMX_RUNTIME_TESTING_ATTACHED_H_

#include <memory>
#include <string>

#include "runtime/testing/host_testing.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace testing {
namespace detail {

// The tables; a program that links this library without the runtime
// libraries ends here with a message.
internal::ObjectSeams& ObjectHooks();
internal::TransportSeams& TransportHooks();

// What the hooks call, one per seam.
HRESULT CheckFault(HostOperation op, const char* name);
void CaptureLine(const TraceLine& line);
bool FakeVersion(const std::string& name, std::string* version);
std::unique_ptr<TransportChannel> TestChannel(const std::string& componentName,
                                              const std::string& configPath);

}  // namespace detail
}  // namespace testing
}  // namespace qmx

#endif  // QMX_RUNTIME_TESTING_ATTACHED_H_
