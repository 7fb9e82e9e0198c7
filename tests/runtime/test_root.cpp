#include "tests/runtime/test_root.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qmx {
namespace test {
namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

}  // namespace

TempRoot::TempRoot() {
  char pattern[] = "/tmp/qmx_runtime_test.XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_root = pattern;
  setenv("QMX_ROOT", m_root.c_str(), 1);
  unsetenv("QMX_TRACE_LEVEL");
}

TempRoot::~TempRoot() {
  unsetenv("QMX_ROOT");
  nftw(m_root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempRoot::Path(const std::string& absolute) const {
  return m_root + absolute;
}

void TempRoot::Write(const std::string& absolute, const std::string& text) const {
  std::string path = Path(absolute);
  MakeFolders(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace test
}  // namespace qmx
