// CFileUtility::GetPackageVersion: the dpkg status database, parsed once and
// parsed again only when the file changes.

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "common/qmx_root.h"
#include "host/utility.h"
#include "runtime/names.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace {

constexpr const char* kStatusPath = "/var/lib/dpkg/status";
constexpr const char* kInstalled = "install ok installed";

using PackageTable = std::unordered_map<std::string, std::string>;

// What tells one version of the database file from another.
struct FileStamp {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0};

  bool operator==(const FileStamp& other) const {
    return path == other.path && dev == other.dev && ino == other.ino &&
           size == other.size && mtime.tv_sec == other.mtime.tv_sec &&
           mtime.tv_nsec == other.mtime.tv_nsec;
  }
};

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// One stanza's fields of interest.
struct Stanza {
  std::string package;
  std::string status;
  std::string version;

  void AddTo(PackageTable* table) const {
    // The first installed stanza of a name wins (several architectures).
    if (!package.empty() && status == kInstalled) {
      table->emplace(package, version);
    }
  }
};

void ReadField(const std::string& line, Stanza* stanza) {
  size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  std::string field = line.substr(0, colon);
  std::string value = Trim(line.substr(colon + 1));
  if (EqualsNoCase(field, "Package")) stanza->package = value;
  if (EqualsNoCase(field, "Status")) stanza->status = value;
  if (EqualsNoCase(field, "Version")) stanza->version = value;
}

// Stanzas are separated by blank lines; a line starting with a blank
// continues the field before it and is of no interest here.
PackageTable ParseStatus(const std::string& text) {
  PackageTable table;
  Stanza stanza;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (Trim(line).empty()) {
      stanza.AddTo(&table);
      stanza = Stanza();
    } else if (line[0] != ' ' && line[0] != '\t') {
      ReadField(line, &stanza);
    }
  }
  stanza.AddTo(&table);
  return table;
}

class PackageCache {
 public:
  // The table of the database at path; null when it cannot be read.
  std::shared_ptr<const PackageTable> Get(const std::string& path);

 private:
  std::mutex m_mutex;
  FileStamp m_stamp;
  std::shared_ptr<const PackageTable> m_table;
};

std::shared_ptr<const PackageTable> PackageCache::Get(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return nullptr;
  FileStamp stamp;
  stamp.path = path;
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  stamp.size = st.st_size;
  stamp.mtime = st.st_mtim;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_table != nullptr && stamp == m_stamp) return m_table;
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  std::ostringstream text;
  text << in.rdbuf();
  m_table = std::make_shared<const PackageTable>(ParseStatus(text.str()));
  m_stamp = stamp;
  return m_table;
}

PackageCache& Cache() {
  static PackageCache* cache = new PackageCache();  // outlives static dtors
  return *cache;
}

}  // namespace
}  // namespace qmx

std::string CFileUtility::GetPackageVersion(std::string packageName) {
  std::string version;
  if (qmx::internal::FakePackageVersion(packageName, &version)) return version;
  auto table = qmx::Cache().Get(qmx::RootedPath(qmx::kStatusPath));
  if (table == nullptr) return "";
  auto it = table->find(packageName);
  return it == table->end() ? "" : it->second;
}
