#include "service/log.h"

#include <unistd.h>

#include "common/safe_files.h"

namespace qmx {
namespace service {

void Log(const std::string& message) {
  WriteAll(STDERR_FILENO, "qmxupdtmngr: " + message + "\n");
}

void ThrottledLog::Note(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
  auto now = std::chrono::steady_clock::now();
  if (now < next_) return;
  std::string times;
  if (count_ > 1) {
    times = " (" + std::to_string(count_) + " times since the last report)";
  }
  Log(message + times);
  count_ = 0;
  next_ = now + std::chrono::seconds(1);
}

}  // namespace service
}  // namespace qmx
