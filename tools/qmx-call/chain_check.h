// qmx-call --check: the links a method call passes through, checked in the
// order a call meets them, without calling a method: the socket
// configuration, the socket, the update service, its package in dpkg's
// database, the provider library, the schema and the trace folder. Each is
// read by the code the product itself runs (common/ and the runtime's
// exports), so that the check cannot disagree with a call.

#ifndef QMX_TOOLS_QMX_CALL_CHAIN_CHECK_H_
#define QMX_TOOLS_QMX_CALL_CHAIN_CHECK_H_

#include <functional>
#include <string>

#include "tools/qmx-call/call_report.h"

namespace qmx {
namespace call {

// Checks every link in order, the provider and the schema at the given
// paths, and hands each result to report as soon as it is known (a silent
// service takes its whole time-out). Stops early when report returns false.
void CheckChain(const std::string& provider, const std::string& schema,
                const std::function<bool(const LinkResult&)>& report);

}  // namespace call
}  // namespace qmx

#endif  // QMX_TOOLS_QMX_CALL_CHAIN_CHECK_H_
