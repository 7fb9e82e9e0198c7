// Child processes for tests: run a command to its end and capture what it
// printed, or start one that keeps running (a service) with its output in a
// file. The environment is the test's own with the command's changes.

#ifndef QMX_TESTS_SUPPORT_CHILD_PROCESS_H_
#define QMX_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace qmx {
namespace support {

struct Command {
  std::vector<std::string> argv;  // argv[0] is the program's path
  std::map<std::string, std::string> env;  // set, replacing the test's value
  std::vector<std::string> unset_env;      // removed from the environment
  int timeout_ms = 60000;  // then the child is killed
};

struct CommandResult {
  int exit_code = -1;  // -1 when a signal ended it
  int signal = 0;      // the signal that ended it, or 0
  bool timed_out = false;
  std::string out;
  std::string err;

  // A summary for failure messages: how it ended and what it printed.
  std::string Describe() const;
};

// Runs the command to its end (or its time-out) with stdin from /dev/null.
// Throws std::runtime_error when it cannot be started.
CommandResult RunCommand(const Command& command);

// Starts the command with stdin from /dev/null and stdout and stderr
// appended to log_path; returns its pid. Throws when it cannot start.
pid_t StartProcess(const Command& command, const std::string& log_path);

// Waits up to timeout_ms for pid to end; its exit code (128 + signal when a
// signal ended it), or -1 when it is still running.
int WaitProcess(pid_t pid, int timeout_ms);

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_CHILD_PROCESS_H_
