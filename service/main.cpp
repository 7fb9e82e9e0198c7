// qmxupdtmngr: the stand-in update service. It answers the provider's
// requests over a Unix socket, keeps the schedules in a state file and
// journals the actions it is asked for instead of performing them.

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "common/qmx_root.h"
#include "common/safe_files.h"
#include "service/journal_file.h"
#include "service/log.h"
#include "service/options.h"
#include "service/server.h"
#include "service/service_manager.h"
#include "service/service_state.h"
#include "service/state_file.h"

namespace qmx {
namespace service {
namespace {

// Takes the stop signals (SIGTERM, SIGINT) with sigwait on a thread of its
// own, so that no handler ever interrupts the event loop or a worker: a
// handler's return has to restore the interrupted thread exactly, and on an
// emulated 32-bit machine that is where a thread loses its own identity.
// Built before any other thread, so that every thread inherits the blocked
// mask and the signals reach only this one.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGINT);
    blocked_ = pthread_sigmask(SIG_BLOCK, &set_, nullptr) == 0;
  }
  ~StopSignals() { Release(); }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Stops server when a stop signal comes.
  bool Watch(Server* server) {
    if (!blocked_) return false;
    waiter_ = std::thread([this, server] {
      int signal_number = 0;
      while (sigwait(&set_, &signal_number) != 0) {
      }
      if (!released_.load()) server->Stop();
    });
    return true;
  }

  // Ends the waiting thread if no signal came (the server stopped by
  // itself): it takes the signal sent here, which the mask keeps from
  // anything else.
  void Release() {
    if (!waiter_.joinable()) return;
    released_ = true;
    pthread_kill(waiter_.native_handle(), SIGTERM);
    waiter_.join();
  }

 private:
  sigset_t set_;
  bool blocked_ = false;
  std::atomic<bool> released_{false};
  std::thread waiter_;
};

// Each waiting client holds a descriptor, so the service takes all the hard
// limit allows.
void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == limit.rlim_max) {
    return;
  }
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    Log("cannot raise the descriptor limit: " + ErrorText(errno));
  }
}

// True when both paths reach one file: "/var/run" is a link to "/run", so
// a socket handed over under one name may be the one configured under the
// other.
bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat first;
  struct stat second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

int Fatal(const std::string& message) {
  Log(message);
  return 1;
}

int RunService(const ServicePaths& paths, size_t max_connections) {
  std::string error;
  if (!PrepareFolder(DirName(paths.state), 0700, &error)) return Fatal(error);
  // Held until exit. Taken before the state is read or a stale temporary
  // removed: those may be a running instance's.
  const int lock = LockFile(paths.state + ".lock", &error);
  if (lock < 0 && errno == EWOULDBLOCK) {
    return Fatal("another instance keeps its state in " + DirName(paths.state) +
                 "; not starting (" + error + ")");
  }
  if (lock < 0) return Fatal("cannot lock the state: " + error + "; not starting");
  // A stop while the state is read and repaired waits until it is whole.
  StopSignals stop_signals;
  StateFile state_file(paths.state);
  ServiceSettings settings;
  std::vector<std::string> notes;
  bool loaded = state_file.Load(&settings, &notes, time(nullptr));
  for (const std::string& note : notes) Log(note);
  if (!loaded) return 1;
  JournalFile journal(paths.journal);
  ServiceState state(settings, &state_file, &journal);

  Server::Options options;
  options.socket_path = paths.socket;
  options.max_connections = max_connections;
  std::string note_on_socket;
  options.listen_fd = TakeListeningSocket(&note_on_socket);
  if (!note_on_socket.empty()) Log(note_on_socket);
  Server server(options, &state);
  if (!server.Listen(&error)) return Fatal(error);
  if (!stop_signals.Watch(&server)) {
    return Fatal("cannot block the stop signals: " + ErrorText(errno));
  }
  if (options.listen_fd >= 0 && !SameFile(server.address(), paths.socket)) {
    Log("the socket handed over is " + server.address() +
        ", not the configured " + paths.socket);
  }
  Log("listening on " + server.address());
  if (!NotifyServiceManager("READY=1", &error)) Log(error);
  server.Run();
  stop_signals.Release();
  Log("stopped");
  return 0;
}

int Main(const std::vector<std::string>& args) {
  // No socket or file of ours may become standard error and take log lines.
  FillClosedStandardDescriptors();
  // A log line to a closed pipe must not end the service between an action
  // and its reply; the write fails instead. Nor may a stray signal that ends
  // a process by default (a closed terminal, a mistaken kill): there is
  // nothing to reload, the settings are read at start and the log is stderr.
  for (int ignored : {SIGPIPE, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM}) signal(ignored, SIG_IGN);
  CommandLine command_line;
  std::string error;
  if (!CheckQmxRoot(&error)) return Fatal(error);
  if (!ParseCommandLine(args, &command_line, &error)) {
    std::fprintf(stderr,
                 "qmxupdtmngr: %s\nTry 'qmxupdtmngr --help' for more "
                 "information.\n",
                 error.c_str());
    return 2;
  }
  if (command_line.help) {
    bool written =
        std::fputs(Usage().c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
    return written ? 0 : 1;
  }
  RaiseDescriptorLimit();
  std::string note;
  ServicePaths paths = ResolvePaths(command_line, SocketHandedOver(), &note);
  if (!note.empty()) Log(note);
  return RunService(paths, command_line.max_connections);
}

}  // namespace
}  // namespace service
}  // namespace qmx

int main(int argc, char** argv) {
  return qmx::service::Main(std::vector<std::string>(argv + 1, argv + argc));
}
