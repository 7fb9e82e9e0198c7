#include "tests/support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace qmx {
namespace support {
namespace {

const int kPollMs = 10;

[[noreturn]] void Throw(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + std::strerror(error));
}

// The test's environment with the command's changes, as "NAME=VALUE".
std::vector<std::string> ChildEnvironment(const Command& command) {
  std::vector<std::string> entries;
  const auto& unset = command.unset_env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name(*entry, std::strcspn(*entry, "="));
    if (command.env.count(name) == 0 &&
        std::find(unset.begin(), unset.end(), name) == unset.end()) {
      entries.push_back(*entry);
    }
  }
  for (const auto& entry : command.env) {
    entries.push_back(entry.first + "=" + entry.second);
  }
  return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Starts the command with stdin from /dev/null and out_fd and err_fd as
// stdout and stderr. A program that cannot be run throws here, naming it.
pid_t Spawn(const Command& command, int out_fd, int err_fd) {
  if (command.argv.empty()) throw std::runtime_error("empty command");
  std::vector<std::string> args = command.argv;
  std::vector<std::string> env = ChildEnvironment(command);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
                                   O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
  pid_t pid = -1;
  int error = posix_spawn(&pid, args[0].c_str(), &actions, nullptr,
                          Pointers(args).data(), Pointers(env).data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) Throw("cannot start " + args[0], error);
  return pid;
}

// Waits up to timeout_ms for pid to end; false while it still runs (or
// when it cannot be waited for).
bool Reap(pid_t pid, int timeout_ms, int* status) {
  for (int waited = 0;; waited += kPollMs) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if ((done < 0 && errno != EINTR) || waited >= timeout_ms) return false;
    usleep(kPollMs * 1000);
  }
}

// An unnamed file that collects what a child prints; it goes when closed.
class OutputFile {
 public:
  OutputFile() : fd_(open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)) {
    if (fd_ < 0) Throw("cannot make an output file in /tmp", errno);
  }
  ~OutputFile() { close(fd_); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  int fd() const { return fd_; }
  std::string Read() const {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = pread(fd_, buffer, sizeof(buffer), text.size())) > 0) {
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }

 private:
  const int fd_;
};

}  // namespace

std::string CommandResult::Describe() const {
  std::string how = timed_out ? "timed out"
                    : signal != 0 ? "killed by signal " + std::to_string(signal)
                                  : "exit " + std::to_string(exit_code);
  return how + "\n--- stdout:\n" + out + "--- stderr:\n" + err;
}

CommandResult RunCommand(const Command& command) {
  OutputFile out;
  OutputFile err;
  pid_t pid = Spawn(command, out.fd(), err.fd());
  CommandResult result;
  int status = 0;
  if (!Reap(pid, command.timeout_ms, &status)) {
    result.timed_out = true;
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = out.Read();
  result.err = err.Read();
  return result;
}

pid_t StartProcess(const Command& command, const std::string& log_path) {
  int log_fd =
      open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log_fd < 0) Throw("cannot open " + log_path, errno);
  try {
    pid_t pid = Spawn(command, log_fd, log_fd);
    close(log_fd);
    return pid;
  } catch (...) {
    close(log_fd);
    throw;
  }
}

int WaitProcess(pid_t pid, int timeout_ms) {
  int status = 0;
  if (!Reap(pid, timeout_ms, &status)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace support
}  // namespace qmx
