// The service's log: short lines on stderr, each written whole so that lines
// from concurrent connections do not interleave.

#ifndef QMX_SERVICE_LOG_H_
#define QMX_SERVICE_LOG_H_

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

namespace qmx {
namespace service {

// Writes "qmxupdtmngr: <message>\n".
void Log(const std::string& message);

// A log line for a condition that can come many times a second (clients
// dropped, descriptors exhausted): written at most once a second, saying how
// often the condition came since the last line. Any thread may note.
class ThrottledLog {
 public:
  // Counts one occurrence; logs message when the last line is a second old.
  void Note(const std::string& message);

 private:
  std::mutex mutex_;
  std::chrono::steady_clock::time_point next_{};  // guarded by mutex_
  size_t count_ = 0;  // occurrences since the last line; guarded by mutex_
};

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_LOG_H_
