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
// The transport's and the service's configuration:
inline constexpr char kSocketConfigPath[] =
    "/opt/veltrax/qmx/um/SocketConfig.ini";
inline constexpr char kSocketPath[] = "/var/run/qmx/qmxupdtmngr.sock";
inline constexpr char kPackageStatusPath[] = "/var/lib/dpkg/status";
inline constexpr char kProviderLogPath[] = "/var/log/qmx/umprovider.log";
inline constexpr char kServiceStatePath[] = "/var/lib/qmxupdtmngr/state";
// Kept beside the state file.
inline constexpr char kServiceJournalPath[] =
    "/var/lib/qmxupdtmngr/journal.log";

// A whole file by its real path; "" when it does not exist.
std::string ReadWholeFile(const std::string& path);

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
  std::string PathOf(const std::string& path) const { return dir_ + path; }
  // The socket the configuration names, under the root.
  std::string SocketPath() const { return PathOf(kSocketPath); }

  // Writes the file (making its folders); the path is a product path.
  void WriteFile(const std::string& absolute, const std::string& content) const;
  // The file's content; "" when it does not exist.
  std::string ReadFile(const std::string& absolute) const {
    return ReadWholeFile(PathOf(absolute));
  }
  bool Exists(const std::string& absolute) const;

  // The socket configuration: kSocketPath, and the time a call waits for a
  // reply; the other time-outs keep the transport's defaults.
  void WriteSocketConfig(int receive_timeout_ms = 20000) const;
  // A status database listing a few packages; "qmxupdtmngr" among them as
  // installed, or as removed with its configuration left behind (which the
  // install check must not take for installed).
  void WritePackageStatus(bool installed) const;

 private:
  std::string dir_;
};

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_TEMP_ROOT_H_
