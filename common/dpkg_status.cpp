#include "common/dpkg_status.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/safe_files.h"
#include "common/names.h"

namespace qmx {
namespace {

// No field we read is longer; the rest of a longer line is skipped.
constexpr size_t kMaxKeptLine = 4096;

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

void ReadField(const std::string& line, PackageRecord* stanza) {
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
// 0, or the errno of a failed read.
template <typename Visit>
int ForEachLine(int fd, Visit visit) {
  std::vector<char> chunk(65536);
  std::string line;
  for (;;) {
    ssize_t n = read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) {
      if (!line.empty()) visit(line);
      return 0;
    }
    const char* at = chunk.data();
    const char* end = at + n;
    while (at < end) {
      const char* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
      const char* stop = newline != nullptr ? newline : end;
      size_t room = kMaxKeptLine - std::min(line.size(), kMaxKeptLine);
      line.append(at, std::min(room, static_cast<size_t>(stop - at)));
      if (newline == nullptr) break;
      if (!visit(line)) return 0;
      line.clear();
      at = newline + 1;
    }
  }
}

}  // namespace

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

// A line starting with a blank continues a field and is of no interest.
int FindPackage(const std::string& path, const std::string& name,
                PackageRecord* record, std::string* error) {
  *record = PackageRecord();
  int fd = OpenForReading(path, ReadRule::kShared, error);
  if (fd < 0) return errno;
  PackageRecord stanza;
  bool installed = false;
  auto endStanza = [&] {
    if (stanza.package == name) {
      *record = stanza;
      installed = FilesInstalled(stanza.status);
    }
    stanza = PackageRecord();
    return !installed;
  };
  int result = ForEachLine(fd, [&](const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return endStanza();
    if (!IsBlankChar(line[0])) ReadField(line, &stanza);
    return true;
  });
  close(fd);
  if (result != 0) {
    *record = PackageRecord();
    *error = path + ": cannot read: " + ErrorText(result);
    return result;
  }
  if (!installed) endStanza();
  return 0;
}

}  // namespace qmx
