// Turns one request's bytes into the reply, acting on the service state.
// It does no I/O of its own (only through the state's store and journal) and
// accepts any bytes, so that it can be fuzzed directly.

#ifndef QMX_SERVICE_REQUEST_HANDLER_H_
#define QMX_SERVICE_REQUEST_HANDLER_H_

#include <string>
#include <vector>

#include "service/protocol.h"
#include "service/service_state.h"

namespace qmx {
namespace service {

// A bad request gets a non-zero code, an empty body and changes nothing.
Reply HandleRequest(const std::string& request, ServiceState& state);

// True when request names a kind that only reads, whatever else is wrong
// with it: one that waits for no save.
bool OnlyReads(const std::string& request);

// True for a successful reply to a kind that only reads: routine, not worth
// a log line.
bool IsRoutine(const Reply& reply);

// Every kind the service answers, in its table's order: for the test that
// holds the table to the provider's methods.
std::vector<std::string> RequestKinds();

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_REQUEST_HANDLER_H_
