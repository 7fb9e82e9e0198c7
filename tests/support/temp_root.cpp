#include "tests/support/temp_root.h"

#include <errno.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qmx {
namespace support {

namespace fs = std::filesystem;

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TempRoot::TempRoot() {
  const char* tmp = getenv("TMPDIR");
  // Short, since the socket path under it must fit a sockaddr_un.
  dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
         "/qmx-XXXXXX";
  if (mkdtemp(&dir_[0]) == nullptr) {
    throw std::runtime_error("cannot make " + dir_ + ": " + strerror(errno));
  }
}

TempRoot::~TempRoot() {
  std::error_code ignored;  // remove what can be removed, whatever fails
  fs::remove_all(dir_, ignored);
}

void TempRoot::WriteFile(const std::string& absolute,
                         const std::string& content) const {
  fs::path path = PathOf(absolute);
  fs::create_directories(path.parent_path());  // throws a runtime_error
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool TempRoot::Exists(const std::string& absolute) const {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(PathOf(absolute), ignored));
}

void TempRoot::WriteSocketConfig(int receive_timeout_ms) const {
  const std::string timeout = std::to_string(receive_timeout_ms);
  WriteFile(kSocketConfigPath, std::string("[Socket]\nPath=") + kSocketPath +
                                   "\nReceiveTimeoutMs=" + timeout + "\n");
}

// Another package first, so that the stanza of interest is not the only one.
void TempRoot::WritePackageStatus(bool installed) const {
  WriteFile(
      kPackageStatusPath,
      std::string("Package: libc6\nStatus: install ok installed\n"
                  "Version: 2.36-9\n\nPackage: qmxupdtmngr\nStatus: ") +
          (installed ? "install ok installed" : "deinstall ok config-files") +
          "\nVersion: 42.0-1\n\n");
}

}  // namespace support
}  // namespace qmx
