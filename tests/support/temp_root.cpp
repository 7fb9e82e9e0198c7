#include "tests/support/temp_root.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qmx {
namespace support {

const char kSocketConfigPath[] = "/opt/veltrax/qmx/um/SocketConfig.ini";
const char kPackageStatusPath[] = "/var/lib/dpkg/status";
const char kProviderLogPath[] = "/var/log/qmx/umprovider.log";
const char kServiceStatePath[] = "/var/lib/qmxupdtmngr/state";
const char kServiceJournalPath[] = "/var/lib/qmxupdtmngr/journal.log";

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) {
    throw std::runtime_error("cannot write " + path + ": " +
                             std::strerror(errno));
  }
}

TempRoot::TempRoot() {
  const char* tmp = getenv("TMPDIR");
  // Short, since the socket path under it must fit a sockaddr_un.
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
      "/qmx-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    throw std::runtime_error("cannot make " + pattern + ": " +
                             std::strerror(errno));
  }
  dir_ = pattern;
}

TempRoot::~TempRoot() {
  std::error_code ignored;  // remove what can be removed, whatever fails
  std::filesystem::remove_all(dir_, ignored);
}

std::string TempRoot::PathOf(const std::string& absolute) const {
  return dir_ + absolute;
}

void TempRoot::WriteFile(const std::string& absolute,
                         const std::string& content) const {
  std::string path = PathOf(absolute);
  // Throws std::filesystem::filesystem_error, a std::runtime_error.
  std::filesystem::create_directories(
      std::filesystem::path(path).parent_path());
  WriteWholeFile(path, content);
}

std::string TempRoot::ReadFile(const std::string& absolute) const {
  return ReadWholeFile(PathOf(absolute));
}

bool TempRoot::Exists(const std::string& absolute) const {
  struct stat info;
  return lstat(PathOf(absolute).c_str(), &info) == 0;
}

void TempRoot::WriteSocketConfig(const SocketSettings& settings) {
  socket_path_ = settings.path;
  WriteFile(kSocketConfigPath,
            "[Socket]\nPath=" + settings.path +
                "\nConnectTimeoutMs=" + std::to_string(settings.connect_timeout_ms) +
                "\nSendTimeoutMs=" + std::to_string(settings.send_timeout_ms) +
                "\nReceiveTimeoutMs=" +
                std::to_string(settings.receive_timeout_ms) + "\n");
}

// Another package first, so that the stanza of interest is not the only one.
void TempRoot::WritePackageStatus(bool installed) {
  WriteFile(kPackageStatusPath,
            std::string("Package: libc6\nStatus: install ok installed\n"
                        "Version: 2.36-9\n\nPackage: qmxupdtmngr\nStatus: ") +
                (installed ? "install ok installed" : "deinstall ok config-files") +
                "\nVersion: 42.0-1\n\n");
}

}  // namespace support
}  // namespace qmx
