#include <map>
#include <mutex>

#include "runtime/testing/attached.h"

namespace qmx {
namespace {

std::mutex g_mutex;
bool g_alive = false;
std::map<std::string, std::string> g_packages;
int g_queries = 0;

}  // namespace

namespace testing {
namespace detail {

bool FakeVersion(const std::string& name, std::string* version) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_alive) return false;
  ++g_queries;
  auto it = g_packages.find(name);
  *version = it == g_packages.end() ? "" : it->second;
  return true;
}

}  // namespace detail

FakePackages::FakePackages() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_alive = true;
  g_packages.clear();
  g_queries = 0;
}

FakePackages::~FakePackages() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_alive = false;
  g_packages.clear();
}

void FakePackages::Install(const std::string& name, const std::string& version) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_packages[name] = version;
}

void FakePackages::Remove(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_packages.erase(name);
}

int FakePackages::Queries() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_queries;
}

}  // namespace testing
}  // namespace qmx
