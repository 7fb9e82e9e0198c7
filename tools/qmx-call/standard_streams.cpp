#include "tools/qmx-call/standard_streams.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace qmx {
namespace call {
namespace {

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// 0 when all of text went out, else the errno of the write that failed.
int WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return written < 0 ? errno : EIO;
    done += static_cast<size_t>(written);
  }
  return 0;
}

}  // namespace

bool StandardStreams::Secure(std::string* error) {
  // A reader that went away is then an EPIPE from write, not our death.
  signal(SIGPIPE, SIG_IGN);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (IsOpen(fd)) continue;
    if (fd == STDOUT_FILENO) out_closed_ = true;
    // The lowest free number is this one: the ones below it are open.
    if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) {
      *error = std::string("cannot open /dev/null: ") + strerror(errno);
      return false;
    }
  }
  return true;
}

bool StandardStreams::WriteOut(const std::string& text,
                               std::string* error) const {
  int code = out_closed_ ? EBADF : WriteAll(STDOUT_FILENO, text);
  if (code == 0) return true;
  *error = strerror(code);
  return false;
}

void StandardStreams::WriteErr(const std::string& text) const {
  WriteAll(STDERR_FILENO, text);
}

}  // namespace call
}  // namespace qmx
