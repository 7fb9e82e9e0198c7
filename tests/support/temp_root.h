// A temporary QMX_ROOT for tests: a folder laid out like the target's file
// system, holding the socket configuration and the dpkg status database
// that the provider, the host runtime and the update service read. It is
// removed with all it holds when the object goes away.

#ifndef QMX_TESTS_SUPPORT_TEMP_ROOT_H_
#define QMX_TESTS_SUPPORT_TEMP_ROOT_H_

#include <string>

namespace qmx {
namespace support {

// Absolute paths as the product sees them; under the root in tests.
extern const char kSocketConfigPath[];  // the transport's and the service's
extern const char kPackageStatusPath[];  // the dpkg status database
extern const char kProviderLogPath[];    // the provider's trace file
extern const char kServiceStatePath[];   // the service's default state file
extern const char kServiceJournalPath[];  // kept beside the state file

// The [Socket] section of the configuration.
struct SocketSettings {
  std::string path = "/var/run/qmx/qmxupdtmngr.sock";  // under the root
  int connect_timeout_ms = 2000;
  int send_timeout_ms = 2000;
  int receive_timeout_ms = 20000;
};

// Failures (no temporary folder, a file that cannot be written) throw
// std::runtime_error, which a test reports as its failure.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  // The root folder itself: the value of QMX_ROOT.
  const std::string& dir() const { return dir_; }
  // Where an absolute product path lies under the root.
  std::string PathOf(const std::string& absolute) const;

  // Writes the file (making its folders); the path is a product path.
  void WriteFile(const std::string& absolute, const std::string& content) const;
  // The file's content; "" when it does not exist.
  std::string ReadFile(const std::string& absolute) const;
  bool Exists(const std::string& absolute) const;

  void WriteSocketConfig(const SocketSettings& settings = SocketSettings());
  // A status database listing a few packages; "qmxupdtmngr" among them as
  // installed, or as removed with its configuration left behind (which the
  // install check must not take for installed).
  void WritePackageStatus(bool installed);
  // The configured socket under the root.
  std::string SocketPath() const { return PathOf(socket_path_); }

 private:
  std::string dir_;
  std::string socket_path_ = SocketSettings().path;
};

// Reads or writes a whole file by its real path; reading gives "" when the
// file does not exist, writing throws when it cannot.
std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& content);

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_TEMP_ROOT_H_
