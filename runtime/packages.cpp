// CFileUtility::GetPackageVersion: the dpkg status database, parsed once and
// parsed again only when the file changes.

#include <sstream>
#include <unordered_map>

#include "common/qmx_root.h"
#include "host/utility.h"
#include "runtime/file_cache.h"
#include "runtime/names.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace {

constexpr const char* kStatusPath = "/var/lib/dpkg/status";
constexpr const char* kInstalled = "install ok installed";

using PackageTable = std::unordered_map<std::string, std::string>;

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

FileCache<PackageTable>& Cache() {
  // Outlives the static destructors of its last users.
  static auto* cache = new FileCache<PackageTable>(ParseStatus);
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
