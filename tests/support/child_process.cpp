#include "tests/support/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace qmx {
namespace support {
namespace {

const int kRunTimeoutMs = 60000;
const int kServiceTimeoutMs = 20000;  // generous: sanitized builds are slow
const int kPollMs = 10;
// Printed once the socket listens, so connections are accepted from then on.
const char kReadyLine[] = "qmxupdtmngr: listening on ";

// Starts the command through env(1), which makes the environment changes,
// with stdin from /dev/null and stdout and stderr appended to the files,
// which it makes when missing.
pid_t Spawn(const Command& command, const std::string& out_path,
            const std::string& err_path) {
  std::vector<std::string> args = {"/usr/bin/env"};
  for (const std::string& name : command.unset_env) {
    args.push_back("--unset=" + name);
  }
  for (const auto& change : command.env) {
    args.push_back(change.first + "=" + change.second);
  }
  args.insert(args.end(), command.argv.begin(), command.argv.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  const int append = O_WRONLY | O_CREAT | O_APPEND;
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), append, 0644);
  posix_spawn_file_actions_addopen(&files, 2, err_path.c_str(), append, 0644);
  pid_t pid = -1;
  int error = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  if (error == 0) return pid;
  throw std::runtime_error(std::string("cannot start env: ") + strerror(error));
}

}  // namespace

std::string CommandResult::Describe() const {
  return (exit_code < 0 ? "timed out" : "exit " + std::to_string(exit_code)) +
         "\n--- stdout:\n" + out + "--- stderr:\n" + err;
}

CommandResult RunCommand(const Command& command) {
  TempRoot scratch;
  const std::string out = scratch.dir() + "/out", err = scratch.dir() + "/err";
  pid_t pid = Spawn(command, out, err);
  CommandResult result;
  result.exit_code = WaitProcess(pid, kRunTimeoutMs);
  if (result.exit_code < 0) KillProcess(pid);
  result.out = ReadWholeFile(out);
  result.err = ReadWholeFile(err);
  return result;
}

int WaitProcess(pid_t pid, int timeout_ms) {
  // waitpid() takes 0 and -1 as "any child": another test's would be reaped.
  if (pid <= 0) throw std::logic_error("no process to wait for (pid " + std::to_string(pid) + ")");
  int status = 0;
  for (int waited = 0; waitpid(pid, &status, WNOHANG) != pid;
       waited += kPollMs) {
    if (waited >= timeout_ms) return -1;
    usleep(kPollMs * 1000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

long OpenFiles(pid_t pid, const std::string& kind) {
  long count = 0;
  std::error_code gone;  // closed since it was listed
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    count += std::filesystem::read_symlink(fd, gone).string().rfind(kind, 0) == 0;
  }
  return count;
}

pid_t ForkAs(uid_t uid, const std::function<int()>& body) {
  pid_t child = fork();
  if (child < 0) throw std::runtime_error(std::string("cannot fork: ") + strerror(errno));
  if (child > 0) return child;
  _exit(uid == 0 || (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
                     setresuid(uid, uid, uid) == 0) ? body() : 2);
}

void SignalProcess(pid_t pid, int signal) {
  if (pid <= 0) throw std::logic_error("no process to signal (pid " + std::to_string(pid) + ")");
  kill(pid, signal);
}

void KillProcess(pid_t pid) {
  SignalProcess(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void ServiceProcess::Start() {
  if (pid_ > 0) return;
  size_t seen = Log().size();  // earlier runs' lines do not count
  std::vector<std::string> argv = {program_};
  argv.insert(argv.end(), args_.begin(), args_.end());
  pid_ = Spawn({argv, {{"QMX_ROOT", root_->dir()}}}, LogPath(), LogPath());
  for (int waited = 0; waited < kServiceTimeoutMs; waited += kPollMs) {
    if (Log().find(kReadyLine, seen) != std::string::npos) return;
    int ended = WaitProcess(pid_, kPollMs);
    if (ended >= 0) {
      pid_ = -1;
      throw std::runtime_error("qmxupdtmngr ended with " +
                               std::to_string(ended) + ":\n" + Log());
    }
  }
  Kill();
  throw std::runtime_error("qmxupdtmngr did not get ready:\n" + Log());
}

int ServiceProcess::Stop(int signal) {
  if (pid_ <= 0) return -1;
  SignalProcess(pid_, signal);
  int code = WaitProcess(pid_, kServiceTimeoutMs);
  if (code < 0) KillProcess(pid_);
  pid_ = -1;
  return code < 0 ? 128 + SIGKILL : code;
}

}  // namespace support
}  // namespace qmx
