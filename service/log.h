// The service's log: short lines on stderr, each written whole so that lines
// from concurrent connections do not interleave.

#ifndef QMX_SERVICE_LOG_H_
#define QMX_SERVICE_LOG_H_

#include <string>

namespace qmx {
namespace service {

// Writes "qmxupdtmngr: <message>\n".
void Log(const std::string& message);

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_LOG_H_
