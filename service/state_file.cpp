#include "service/state_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <utility>
#include <vector>

#include "common/safe_files.h"
#include "service/files.h"
#include "service/protocol.h"

namespace qmx {
namespace service {
namespace {

constexpr char kVersionPrefix[] = "qmxupdtmngr-state ";
constexpr char kEndLine[] = "end";
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
// Two schedules of at most a request body each, every byte escaped at
// worst to four: far below this.
constexpr size_t kStateLimit = 1 << 20;

// A value and the line it came from, for the log.
struct Entry {
  std::string value;
  size_t line;
};
using Entries = std::map<std::string, Entry>;
using Problems = std::vector<std::string>;

void Note(Problems* problems, size_t line, const std::string& what) {
  problems->push_back("line " + std::to_string(line) + ": " + what);
}

// 1 to digits hex digits, either case: a hand-edited "Status=1" is meant.
bool ParseHex(const std::string& text, size_t digits, uint32_t* value) {
  if (text.empty() || text.size() > digits) return false;
  uint32_t result = 0;
  for (char c : text) {
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else {
      return false;
    }
    result = result * 16 + digit;
  }
  *value = result;
  return true;
}

bool Fail(const std::string& message, std::string* error) {
  *error = message;
  return false;
}

// "qmxupdtmngr-state <n>" with n a decimal from 1 up.
bool ParseVersionLine(const std::string& line, uint32_t* version) {
  const size_t prefix = sizeof(kVersionPrefix) - 1;
  if (line.compare(0, prefix, kVersionPrefix) != 0) return false;
  int32_t number = 0;
  std::string digits = line.substr(prefix);
  if (!ParseInt32(digits, &number) || number < 1) return false;
  *version = static_cast<uint32_t>(number);
  return true;
}

// The text's lines, each without its line end and the blanks (spaces, tabs,
// a CR) an editor may leave before it; values keep theirs escaped. A last
// line without its newline is marked cut.
std::vector<std::string> SplitLines(const std::string& text, bool* cut) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    *cut = end == std::string::npos;
    if (*cut) end = text.size();
    std::string line = text.substr(start, end - start);
    line.erase(line.find_last_not_of(" \t\r") + 1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Splits text into its version and its "key=value" lines up to the end
// line; *order lists the keys as the file does. A bad line is noted and
// ignored; false only when text is no state file at all.
bool ReadEntries(const std::string& text, uint32_t* version, Entries* entries,
                 std::vector<std::string>* order, Problems* problems,
                 std::string* error) {
  bool cut = false;
  // An editor may start the file with a byte order mark, blank lines and
  // blanks, as it may end lines with blanks.
  const size_t bom = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  const std::vector<std::string> lines = SplitLines(text.substr(bom), &cut);
  size_t first = 0;
  while (first < lines.size() && lines[first].find_first_not_of(" \t") == std::string::npos) {
    ++first;
  }
  if (first == lines.size() ||
      !ParseVersionLine(lines[first].substr(lines[first].find_first_not_of(" \t")), version)) {
    return Fail("not a state file (no version line)", error);
  }
  for (size_t n = first + 1; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    if (line.empty()) continue;
    if (line == kEndLine) {
      while (++n < lines.size() && lines[n].empty()) {
      }
      if (n < lines.size()) Note(problems, n + 1, "text after the end line; ignored");
      return true;
    }
    if (cut && n + 1 == lines.size()) {
      Note(problems, n + 1, "cut short (no end line); ignored");
      return true;
    }
    size_t equals = line.find('=');
    std::string value;
    if (equals == std::string::npos ||
        !UnescapeLine(line.substr(equals + 1), &value)) {
      Note(problems, n + 1, "malformed line \"" + EscapeLine(line) + "\"; ignored");
      continue;
    }
    std::string key = line.substr(0, equals);
    auto added = entries->emplace(key, Entry{value, n + 1});
    if (!added.second) {
      Note(problems, n + 1, "key " + EscapeLine(key) + " given again (first on line " +
                                std::to_string(added.first->second.line) + "); ignored");
      continue;
    }
    order->push_back(key);
  }
  Note(problems, lines.size() + 1, "no end line");
  return true;
}

// Removes key from entries into *entry; false when the file has no such key
// (an older version's file).
bool TakeEntry(Entries* entries, const std::string& key, Entry* entry) {
  auto it = entries->find(key);
  if (it == entries->end()) return false;
  *entry = it->second;
  entries->erase(it);
  return true;
}

void TakeNumber(Entries* entries, const StoredSetting& setting, uint32_t* value,
                Problems* problems) {
  Entry entry;
  if (!TakeEntry(entries, setting.key, &entry)) return;
  if (!ParseHex(entry.value, setting.hex_digits, value)) {
    Note(problems, entry.line, std::string(setting.key) + " is not 1 to " +
                                   std::to_string(setting.hex_digits) +
                                   " hex digits; the default is used");
  }
}

std::string ListKey(const StoredSetting& setting, size_t i) {
  return std::string(setting.key) + "." + setting.fields->fields[i].name;
}

// Each field on its own, so that one bad value costs only that field. A
// reply must be able to carry the list back: a field that makes it too long
// for one is dropped too.
void TakeList(Entries* entries, const StoredSetting& setting,
              std::vector<std::string>* values, Problems* problems) {
  for (size_t i = 0; i < setting.fields->count; ++i) {
    Entry entry;
    if (!TakeEntry(entries, ListKey(setting, i), &entry)) continue;
    std::vector<std::string> one = {entry.value};
    if (CheckValues(FieldList{&setting.fields->fields[i], 1}, &one) != kOk) {
      Note(problems, entry.line, "invalid " + ListKey(setting, i) + "; the default is used");
      continue;
    }
    std::swap((*values)[i], one[0]);
    if (EncodeValues(*values).size() > kMaxBodySize) {
      Note(problems, entry.line, ListKey(setting, i) + " too long to be sent back; the default is used");
      std::swap((*values)[i], one[0]);
    }
  }
}

// Blanks that end a value are escaped too, since a reader drops those an
// editor leaves at the end of a line.
std::string Line(const std::string& key, const std::string& value) {
  std::string escaped = EscapeLine(value);
  size_t blanks = escaped.size() - (escaped.find_last_not_of(' ') + 1);
  escaped.resize(escaped.size() - blanks);
  for (size_t i = 0; i < blanks; ++i) escaped += "\\x20";
  return key + "=" + escaped + "\n";
}

}  // namespace

std::string FormatState(const ServiceSettings& settings) {
  const LaterKeys& later = settings.later;
  uint32_t version = kStateVersion;
  if (!later.entries.empty() && later.version > version) {
    version = later.version;  // the file still holds that version's keys
  }
  std::string text = kVersionPrefix + std::to_string(version) + "\n";
  for (size_t n = 0; n < kStoredSettingCount; ++n) {
    const StoredSetting& setting = kStoredSettings[n];
    if (setting.list == nullptr) {
      uint32_t value = settings.*setting.number;
      text += Line(setting.key, setting.hex_digits == 4
                                    ? Hex4(static_cast<uint16_t>(value))
                                    : Hex8(value));
      continue;
    }
    const std::vector<std::string>& values = settings.*setting.list;
    for (size_t i = 0; i < setting.fields->count && i < values.size(); ++i) {
      text += Line(ListKey(setting, i), values[i]);
    }
  }
  for (const auto& entry : later.entries) {
    text += Line(entry.first, entry.second);
  }
  return text + kEndLine + "\n";
}

bool ParseState(const std::string& text, ServiceSettings* settings,
                std::vector<std::string>* problems, std::string* error) {
  uint32_t version = 0;
  Entries entries;
  std::vector<std::string> order;
  problems->clear();
  if (!ReadEntries(text, &version, &entries, &order, problems, error)) return false;
  // A key the file lacks keeps its default: older versions did not know it.
  ServiceSettings parsed = ServiceSettings::Defaults();
  for (size_t n = 0; n < kStoredSettingCount; ++n) {
    const StoredSetting& setting = kStoredSettings[n];
    if (setting.list == nullptr) {
      TakeNumber(&entries, setting, &(parsed.*setting.number), problems);
    } else {
      TakeList(&entries, setting, &(parsed.*setting.list), problems);
    }
  }
  // Keys no version up to ours wrote are damage; a newer version's are kept.
  for (const std::string& key : order) {
    auto it = entries.find(key);
    if (it == entries.end()) continue;
    if (version <= kStateVersion) {
      Note(problems, it->second.line, "unknown key " + EscapeLine(key) + "; ignored");
      continue;
    }
    parsed.later.version = version;
    parsed.later.entries.emplace_back(key, it->second.value);
  }
  *settings = parsed;
  return true;
}

StateFile::StateFile(const std::string& path) : path_(path) {}

bool StateFile::Load(ServiceSettings* settings, std::vector<std::string>* notes,
                     time_t now) {
  notes->clear();
  *settings = ServiceSettings::Defaults();
  RemoveStaleTemporaries(path_);
  std::string text;
  std::string problem;
  int read_error =
      ReadFileBounded(path_, kStateLimit, ReadRule::kPrivate, &text, &problem);
  if (read_error == ENOENT) return true;
  ServiceSettings parsed;
  std::vector<std::string> bad_lines;
  const bool usable = read_error == 0 && ParseState(text, &parsed, &bad_lines, &problem);
  if (usable && bad_lines.empty()) {
    *settings = parsed;
    return true;
  }
  // The operator finds the file as it was beside the one the service uses.
  // Only an unusable file is moved: a file with good lines stays in place
  // until their copy replaces it, so that a stop in between leaves it to be
  // repaired again at the next start.
  std::string moved_to;
  std::string error;
  const std::string name = "state file " + path_;
  if (!SetAside(now, usable ? &text : nullptr, &moved_to, &error)) {
    notes->push_back(name + (usable ? " has bad lines" : " is unusable (" + problem + ")") +
                     " and could not be set aside: " + error);
    return false;
  }
  if (!usable) {
    notes->push_back(name + " is unusable (" + problem + "); moved to " + moved_to +
                     ", using defaults");
    return true;
  }
  for (const std::string& line : bad_lines) notes->push_back(name + ": " + line);
  *settings = parsed;
  if (!Save(parsed, &error)) {
    notes->push_back(name + ": the good lines could not be saved (" + error +
                     "); the file is left as it was, a copy is " + moved_to);
    return true;
  }
  notes->push_back(name + ": kept every other line; the file as it was is " + moved_to);
  return true;
}

bool StateFile::Save(const ServiceSettings& settings, std::string* error) {
  return ReplaceFileDurably(path_, FormatState(settings), error);
}

bool StateFile::SetAside(time_t now, const std::string* copy, std::string* moved_to,
                         std::string* error) {
  std::string base = path_ + ".corrupt-" + std::to_string(now);
  // Never overwrite an earlier casualty from the same second.
  std::string target = base;
  struct stat info;
  for (int n = 1; lstat(target.c_str(), &info) == 0; ++n) {
    target = base + "." + std::to_string(n);
  }
  // A copy's temporary file is named after the state file, so that the
  // next load removes one a crash left.
  if (copy != nullptr) {
    if (!ReplaceFileDurably(target, *copy, error, path_)) return false;
  } else if (rename(path_.c_str(), target.c_str()) != 0) {
    *error = ErrorText(errno);
    return false;
  }
  *moved_to = target;
  return true;
}

}  // namespace service
}  // namespace qmx
