// The stand-in update service run as a child process of a test, on the
// socket that a TempRoot's configuration names and with its state under
// that root. It can be stopped and started again over the same state.

#ifndef QMX_TESTS_SUPPORT_SERVICE_PROCESS_H_
#define QMX_TESTS_SUPPORT_SERVICE_PROCESS_H_

#include <sys/types.h>

#include <string>

#include "tests/support/temp_root.h"

namespace qmx {
namespace support {

class ServiceProcess {
 public:
  // program: the qmxupdtmngr executable. The root must outlive this.
  ServiceProcess(std::string program, const TempRoot* root);
  // Stops the service if it still runs.
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts the service and returns once it accepts connections. Throws
  // std::runtime_error, with what the service printed, when it ends or
  // does not get ready in time.
  void Start();
  // Sends SIGTERM and waits for the end (SIGKILL after a while); returns
  // its exit code, 128 + signal when a signal ended it.
  int Stop();
  // Ends the service at once with SIGKILL, as a crash would, and waits for
  // the end; returns its exit code (128 + SIGKILL).
  int Kill();
  bool running() const { return pid_ > 0; }

  // Everything the service printed, across restarts.
  std::string Log() const;

 private:
  const std::string program_;
  const TempRoot* const root_;
  const std::string log_path_;
  pid_t pid_ = -1;
};

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_SERVICE_PROCESS_H_
