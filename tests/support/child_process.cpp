#include "tests/support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace qmx {
namespace support {
namespace {

int64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The test's environment with the command's changes, as "NAME=VALUE".
std::vector<std::string> ChildEnvironment(const Command& command) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    bool replaced = command.env.count(name) != 0 ||
                    std::count(command.unset_env.begin(),
                               command.unset_env.end(), name) != 0;
    if (!replaced) entries.push_back(text);
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

// Forks and execs with the given descriptors as stdout and stderr. Every
// allocation happens before the fork: the child only calls what is safe
// after forking a threaded process.
pid_t Spawn(const Command& command, int out_fd, int err_fd) {
  if (command.argv.empty()) throw std::runtime_error("empty command");
  std::vector<std::string> args = command.argv;
  std::vector<std::string> env = ChildEnvironment(command);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  const std::string exec_failed = "cannot run " + command.argv[0] + "\n";
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(null_fd, STDIN_FILENO);
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    ssize_t ignored =
        write(STDERR_FILENO, exec_failed.data(), exec_failed.size());
    (void)ignored;
    _exit(127);
  }
  int fork_error = errno;
  close(null_fd);
  if (pid < 0) {
    throw std::runtime_error("cannot start " + command.argv[0] + ": " +
                             std::strerror(fork_error));
  }
  return pid;
}

// Reads both pipes until each reaches its end; kills the child at the
// deadline (its pipes then end too).
void Collect(int out_fd, int err_fd, pid_t pid, int64_t deadline,
             CommandResult* result) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result->out, &result->err};
  int open_count = 2;
  while (open_count > 0) {
    int64_t left = deadline - NowMs();
    if (left <= 0 && !result->timed_out) {
      kill(pid, SIGKILL);
      result->timed_out = true;
    }
    int ready = poll(fds, 2, result->timed_out ? 1000 : static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

// The exit code of a wait status: 128 + signal for a signal.
int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace

std::string CommandResult::Describe() const {
  std::string how = timed_out ? "timed out"
                    : signal != 0 ? "killed by signal " + std::to_string(signal)
                                  : "exit " + std::to_string(exit_code);
  return how + "\n--- stdout:\n" + out + "--- stderr:\n" + err;
}

CommandResult RunCommand(const Command& command) {
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    throw std::runtime_error("pipe failed");
  }
  CommandResult result;
  pid_t pid = -1;
  try {
    pid = Spawn(command, out_pipe[1], err_pipe[1]);
  } catch (...) {
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    throw;
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  Collect(out_pipe[0], err_pipe[0], pid, NowMs() + command.timeout_ms, &result);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

pid_t StartProcess(const Command& command, const std::string& log_path) {
  int log_fd = open(log_path.c_str(),
                    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log_fd < 0) {
    throw std::runtime_error("cannot open " + log_path + ": " +
                             std::strerror(errno));
  }
  pid_t pid = -1;
  try {
    pid = Spawn(command, log_fd, log_fd);
  } catch (...) {
    close(log_fd);
    throw;
  }
  close(log_fd);
  return pid;
}

int WaitProcess(pid_t pid, int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return ExitCodeOf(status);
    if (done < 0 && errno != EINTR) return -1;
    if (NowMs() >= deadline) return -1;
    usleep(10 * 1000);
  }
}

}  // namespace support
}  // namespace qmx
