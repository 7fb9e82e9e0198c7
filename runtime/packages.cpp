// CFileUtility::GetPackageVersion: the dpkg status database
// (common/dpkg_status.h), read as a stream for each package asked about and
// read again only when the file changes. What is kept is the answers, never the file, so that memory does
// not grow with the number of packages installed.

#include <memory>
#include <mutex>
#include <unordered_map>

#include "common/dpkg_status.h"
#include "common/qmx_root.h"
#include "host/utility.h"
#include "runtime/file_cache.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace {

// Distinct names remembered for one version of the file.
constexpr size_t kMaxAnswers = 64;

// What one version of the status file says about the packages asked for
// so far; each new name costs one read of the file.
class StatusAnswers {
 public:
  explicit StatusAnswers(const std::string& path)
      : m_path(path), m_memo(std::make_shared<Memo>()) {}

  std::string Version(const std::string& name) const;

 private:
  struct Memo {
    std::mutex mutex;  // held while the file is read: one read per name
    std::unordered_map<std::string, std::string> versions;  // "": not installed
  };

  std::string m_path;
  std::shared_ptr<Memo> m_memo;
};

std::string StatusAnswers::Version(const std::string& name) const {
  std::lock_guard<std::mutex> lock(m_memo->mutex);
  auto it = m_memo->versions.find(name);
  if (it != m_memo->versions.end()) return it->second;
  PackageRecord record;
  std::string error;
  // A file that cannot be read now may be readable at the next call.
  if (FindPackage(m_path, name, &record, &error) != 0) return "";
  std::string version = FilesInstalled(record.status) ? record.version : "";
  if (m_memo->versions.size() >= kMaxAnswers) m_memo->versions.clear();
  m_memo->versions.emplace(name, version);
  return version;
}

FileCache<StatusAnswers>& Cache() {
  // Outlives the static destructors of its last users.
  static auto* cache = new FileCache<StatusAnswers>(
      [](const std::string& path) { return StatusAnswers(path); });
  return *cache;
}

}  // namespace
}  // namespace qmx

std::string CFileUtility::GetPackageVersion(std::string packageName) {
  std::string version;
  if (qmx::internal::FakePackageVersion(packageName, &version)) return version;
  return qmx::Cache().Get(qmx::RootedPath(qmx::kDpkgStatusFile))->Version(packageName);
}
