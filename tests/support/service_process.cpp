#include "tests/support/service_process.h"

#include <signal.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

#include "tests/support/child_process.h"

namespace qmx {
namespace support {
namespace {

// Printed once the socket listens, so connections are accepted from then on.
const char kReadyLine[] = "qmxupdtmngr: listening on ";
const int kReadyTimeoutMs = 20000;  // generous: sanitized builds start slowly
const int kStopTimeoutMs = 20000;
const int kPollMs = 10;

}  // namespace

ServiceProcess::ServiceProcess(std::string program, const TempRoot* root)
    : program_(std::move(program)),
      root_(root),
      log_path_(root->dir() + "/qmxupdtmngr.out") {}

ServiceProcess::~ServiceProcess() {
  if (running()) Stop();
}

void ServiceProcess::Start() {
  if (running()) return;
  size_t seen = Log().size();  // earlier runs' lines do not count
  Command command;
  command.argv = {program_};
  command.env["QMX_ROOT"] = root_->dir();
  pid_ = StartProcess(command, log_path_);
  for (int waited = 0; waited < kReadyTimeoutMs; waited += kPollMs) {
    if (Log().find(kReadyLine, seen) != std::string::npos) return;
    int ended = WaitProcess(pid_, 0);
    if (ended >= 0) {
      pid_ = -1;
      throw std::runtime_error("qmxupdtmngr ended with " +
                               std::to_string(ended) + ":\n" + Log());
    }
    usleep(kPollMs * 1000);
  }
  Stop();
  throw std::runtime_error("qmxupdtmngr did not get ready:\n" + Log());
}

int ServiceProcess::Stop() {
  if (!running()) return -1;
  kill(pid_, SIGTERM);
  int code = WaitProcess(pid_, kStopTimeoutMs);
  if (code < 0) return Kill();
  pid_ = -1;
  return code;
}

int ServiceProcess::Kill() {
  if (!running()) return -1;
  kill(pid_, SIGKILL);
  int code = WaitProcess(pid_, kStopTimeoutMs);
  pid_ = -1;
  return code;
}

std::string ServiceProcess::Log() const { return ReadWholeFile(log_path_); }

}  // namespace support
}  // namespace qmx
