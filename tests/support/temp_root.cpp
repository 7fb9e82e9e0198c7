#include "tests/support/temp_root.h"

#include <errno.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
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

namespace {

const char kOtherPackages[] =
    "Package: libc6\n"
    "Status: install ok installed\n"
    "Architecture: i386\n"
    "Version: 2.36-9\n"
    "\n";

[[noreturn]] void Throw(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + std::strerror(error));
}

void MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      Throw("cannot make " + dir, errno);
    }
  }
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;  // remove what can be removed, whatever fails
}

}  // namespace

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
  if (!out) Throw("cannot write " + path, errno);
}

TempRoot::TempRoot() {
  const char* tmp = getenv("TMPDIR");
  // Short, since the socket path under it must fit a sockaddr_un.
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
      "/qmx-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) Throw("cannot make " + pattern, errno);
  dir_ = pattern;
}

TempRoot::~TempRoot() {
  nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempRoot::PathOf(const std::string& absolute) const {
  return dir_ + absolute;
}

void TempRoot::WriteFile(const std::string& absolute,
                         const std::string& content) const {
  std::string path = PathOf(absolute);
  MakeParents(path);
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
            "[Socket]\n"
            "Path=" + settings.path + "\n" +
            "ConnectTimeoutMs=" + std::to_string(settings.connect_timeout_ms) +
            "\n" +
            "SendTimeoutMs=" + std::to_string(settings.send_timeout_ms) + "\n" +
            "ReceiveTimeoutMs=" + std::to_string(settings.receive_timeout_ms) +
            "\n");
}

void TempRoot::WritePackageStatus(bool installed) {
  std::string status =
      installed ? "install ok installed" : "deinstall ok config-files";
  WriteFile(kPackageStatusPath, std::string(kOtherPackages) +
                                    "Package: qmxupdtmngr\n"
                                    "Status: " + status + "\n"
                                    "Priority: optional\n"
                                    "Version: 42.0-1\n"
                                    "\n");
}

}  // namespace support
}  // namespace qmx
