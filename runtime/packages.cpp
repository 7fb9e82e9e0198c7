// CFileUtility::GetPackageVersion: the dpkg status database, read as a
// stream for each package asked about and read again only when the file
// changes. What is kept is the answers, never the file, so that memory does
// not grow with the number of packages installed.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/qmx_root.h"
#include "common/safe_files.h"
#include "host/utility.h"
#include "runtime/file_cache.h"
#include "runtime/names.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace {

constexpr const char* kStatusPath = "/var/lib/dpkg/status";
// No field we read is longer; the rest of a longer line is skipped.
constexpr size_t kMaxKeptLine = 4096;
// Distinct names remembered for one version of the file.
constexpr size_t kMaxAnswers = 64;

bool IsBlankChar(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

// Matches one of words at *at as dpkg does: in any letter case, and only
// where no letter follows; *at then moves past the word and the blanks
// after it. The index of the word, or -1.
int MatchWord(const std::string& text, size_t* at,
              const std::vector<const char*>& words) {
  for (size_t i = 0; i < words.size(); ++i) {
    size_t end = *at + std::strlen(words[i]);
    if (end > text.size() ||
        !EqualsNoCase(std::string_view(text).substr(*at, end - *at), words[i]) ||
        (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end])))) {
      continue;
    }
    while (end < text.size() && IsBlankChar(text[end])) ++end;
    *at = end;
    return static_cast<int>(i);
  }
  return -1;
}

// The Status field, "<want> <flag> <state>", read as dpkg reads it: each
// word one of its known values and nothing after the state. True when the
// state is one in which the package's files are on disk: unpacked and
// every state after it, whatever the package is wanted or flagged as
// ("hold ok installed", "deinstall ok installed", "install ok
// triggers-pending"). Not installed, config files only and half installed
// are not.
bool FilesInstalled(const std::string& status) {
  static const std::vector<std::vector<const char*>> kFields = {
      {"unknown", "install", "hold", "deinstall", "purge"},
      {"ok", "reinstreq"},
      {"not-installed", "config-files", "half-installed", "unpacked",
       "half-configured", "triggers-awaited", "triggers-pending", "installed"},
  };
  constexpr int kUnpacked = 3;
  size_t at = 0;
  int word = -1;
  for (const auto& words : kFields) {
    if ((word = MatchWord(status, &at, words)) < 0) return false;
  }
  return at == status.size() && word >= kUnpacked;
}

// One stanza's fields of interest.
struct Stanza {
  std::string package;
  std::string status;
  std::string version;
};

void ReadField(const std::string& line, Stanza* stanza) {
  size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  std::string_view field = std::string_view(line).substr(0, colon);
  std::string* value = EqualsNoCase(field, "Package")  ? &stanza->package
                       : EqualsNoCase(field, "Status") ? &stanza->status
                       : EqualsNoCase(field, "Version") ? &stanza->version
                                                         : nullptr;
  if (value != nullptr) *value = Trim(line.substr(colon + 1));
}

// Hands each line of the file to visit (without its '\n'), keeping at most
// kMaxKeptLine bytes of it, until visit returns false or the file ends.
// False on a read error.
template <typename Visit>
bool ForEachLine(int fd, Visit visit) {
  std::vector<char> chunk(65536);
  std::string line;
  for (;;) {
    ssize_t n = read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      if (!line.empty()) visit(line);
      return true;
    }
    const char* at = chunk.data();
    const char* end = at + n;
    while (at < end) {
      const char* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
      const char* stop = newline != nullptr ? newline : end;
      size_t room = kMaxKeptLine - std::min(line.size(), kMaxKeptLine);
      line.append(at, std::min(room, static_cast<size_t>(stop - at)));
      if (newline == nullptr) break;
      if (!visit(line)) return true;
      line.clear();
      at = newline + 1;
    }
  }
}

// Reads the status file for the first stanza of name whose files are
// installed (a name has one per architecture). Stanzas end at blank lines;
// a line starting with a blank continues a field and is of no interest.
// False when the file cannot be read.
bool FindInstalled(const std::string& path, const std::string& name,
                   std::string* version) {
  std::string error;
  int fd = OpenForReading(path, ReadRule::kShared, &error);
  if (fd < 0) return false;
  Stanza stanza;
  bool found = false;
  auto endStanza = [&] {
    found = stanza.package == name && FilesInstalled(stanza.status);
    if (found) *version = stanza.version;
    stanza = Stanza();
    return !found;
  };
  bool read = ForEachLine(fd, [&](const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return endStanza();
    if (!IsBlankChar(line[0])) ReadField(line, &stanza);
    return true;
  });
  close(fd);
  if (read && !found) endStanza();
  return read;
}

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
  std::string version;
  // A file that cannot be read now may be readable at the next call.
  if (!FindInstalled(m_path, name, &version)) return "";
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
  return qmx::Cache().Get(qmx::RootedPath(qmx::kStatusPath))->Version(packageName);
}
