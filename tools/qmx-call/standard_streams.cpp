#include "tools/qmx-call/standard_streams.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "common/safe_files.h"

namespace qmx {
namespace call {
bool StandardStreams::Secure(std::string* error) {
  // A reader that went away is then an EPIPE from write, not our death.
  signal(SIGPIPE, SIG_IGN);
  int closed = FillClosedStandardDescriptors();
  if (closed < 0) {
    *error = "cannot open /dev/null: " + ErrorText(errno);
    return false;
  }
  out_closed_ = (closed & (1 << STDOUT_FILENO)) != 0;
  return true;
}

bool StandardStreams::WriteOut(const std::string& text,
                               std::string* error) const {
  if (out_closed_) {
    *error = ErrorText(EBADF);
    return false;
  }
  if (WriteAll(STDOUT_FILENO, text)) return true;
  *error = ErrorText(errno);
  return false;
}

void StandardStreams::WriteErr(const std::string& text) const {
  WriteAll(STDERR_FILENO, text);
}

}  // namespace call
}  // namespace qmx
