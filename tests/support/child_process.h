// Child processes for tests: a command run to its end with what it printed,
// and the stand-in update service kept running beside the test. Either way
// stdin is /dev/null and the environment is the test's own with the
// command's changes; a program that cannot be run ends with exit code 127
// and says why on stderr.

#ifndef QMX_TESTS_SUPPORT_CHILD_PROCESS_H_
#define QMX_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_root.h"

namespace qmx {
namespace support {

struct Command {
  std::vector<std::string> argv;            // argv[0] is the program's path
  std::map<std::string, std::string> env;   // set, replacing the test's value
  std::vector<std::string> unset_env = {};  // removed from the environment
};

struct CommandResult {
  int exit_code = -1;  // 128 + signal when a signal ended it; -1: timed out
  std::string out;
  std::string err;

  // A summary for failure messages: how it ended and what it printed.
  std::string Describe() const;
};

// Runs the command to its end, or kills it after a minute.
CommandResult RunCommand(const Command& command);

// Waits up to timeout_ms for the child pid to end; its exit code (128 +
// signal when a signal ended it), or -1 when it is still running. Throws
// std::logic_error for a pid of 0 or below, which would wait for any child.
int WaitProcess(pid_t pid, int timeout_ms);

// Runs body in a child process as uid (groups dropped, root's own when uid
// is 0), which exits with what it returns, or 2 when the switch fails.
// Throws std::runtime_error when no process can be made.
pid_t ForkAs(uid_t uid, const std::function<int()>& body);

// Sends the signal to the one process pid. Throws std::logic_error for a
// pid of 0 or below, which kill(2) takes as a process group or, from root,
// as every process on the machine: a test that lost its child must fail,
// not take the machine down with it.
void SignalProcess(pid_t pid, int signal);

// Ends a child at once with SIGKILL, as a crash would, and reaps it.
void KillProcess(pid_t pid);

// How many descriptors the process holds whose target starts with kind
// ("socket:"; "" counts all).
long OpenFiles(pid_t pid, const std::string& kind = "");

// The update service on the socket that a TempRoot's configuration names,
// with its state under that root. It can be stopped and started again over
// the same state.
class ServiceProcess {
 public:
  // program: the qmxupdtmngr executable, run with args. The root must
  // outlive this.
  ServiceProcess(std::string program, const TempRoot* root,
                 std::vector<std::string> args = {})
      : program_(std::move(program)), root_(root), args_(std::move(args)) {}
  ~ServiceProcess() { Stop(); }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts the service and returns once it accepts connections. Throws
  // std::runtime_error, with what the service printed, when it ends or
  // does not get ready in time.
  void Start();
  // Sends the signal and waits for the end (SIGKILL after a while); returns
  // the exit code, 128 + signal when a signal ended it, or -1 when the
  // service was not running.
  int Stop(int signal = SIGTERM);
  // Ends the service at once, as a crash would.
  void Kill() { Stop(SIGKILL); }
  // Sends a signal to the running service and leaves it at that.
  void Signal(int signal) const { SignalProcess(pid_, signal); }

  // Everything the service printed, across restarts.
  std::string Log() const { return ReadWholeFile(LogPath()); }
  // The running service's process id; -1 when it is not running.
  pid_t pid() const { return pid_; }

 private:
  std::string LogPath() const { return root_->dir() + "/qmxupdtmngr.out"; }

  const std::string program_;
  const TempRoot* const root_;
  const std::vector<std::string> args_;
  pid_t pid_ = -1;
};

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_CHILD_PROCESS_H_
