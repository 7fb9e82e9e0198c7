#include "service/state_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <sstream>
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
// Two schedules of at most a request body each, every byte escaped at
// worst to four: far below this.
constexpr size_t kStateLimit = 1 << 20;

using Entries = std::map<std::string, std::string>;

// Exactly digits hex digits, either case.
bool ParseHex(const std::string& text, size_t digits, uint32_t* value) {
  if (text.size() != digits) return false;
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

// Splits text into its version and its "key=value" lines up to the end
// line; *order lists the keys as the file does.
bool ReadEntries(const std::string& text, uint32_t* version, Entries* entries,
                 std::vector<std::string>* order, std::string* error) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || !ParseVersionLine(line, version)) {
    return Fail("not a state file (no version line)", error);
  }
  while (std::getline(in, line)) {
    if (line == kEndLine) {
      if (in.peek() != std::char_traits<char>::eof()) {
        return Fail("text after the end line", error);
      }
      return true;
    }
    size_t equals = line.find('=');
    std::string value;
    if (equals == std::string::npos ||
        !UnescapeLine(line.substr(equals + 1), &value)) {
      return Fail("malformed line \"" + EscapeLine(line) + "\"", error);
    }
    std::string key = line.substr(0, equals);
    if (!entries->emplace(key, value).second) {
      return Fail("key " + EscapeLine(key) + " given twice", error);
    }
    order->push_back(key);
  }
  return Fail("no end line (file cut short)", error);
}

// Removes key from entries into *value; false when the file has no such key
// (an older version's file), leaving *value as it was.
bool TakeEntry(Entries* entries, const std::string& key, std::string* value) {
  auto it = entries->find(key);
  if (it == entries->end()) return false;
  *value = it->second;
  entries->erase(it);
  return true;
}

bool TakeNumber(Entries* entries, const StoredSetting& setting, uint32_t* value,
                std::string* error) {
  std::string text;
  if (!TakeEntry(entries, setting.key, &text)) return true;
  if (!ParseHex(text, setting.hex_digits, value)) {
    return Fail(std::string("key ") + setting.key + " is not " +
                    std::to_string(setting.hex_digits) + " hex digits",
                error);
  }
  return true;
}

std::string ListKey(const StoredSetting& setting, size_t i) {
  return std::string(setting.key) + "." + setting.fields->fields[i].name;
}

bool TakeList(Entries* entries, const StoredSetting& setting,
              std::vector<std::string>* values, std::string* error) {
  for (size_t i = 0; i < setting.fields->count; ++i) {
    TakeEntry(entries, ListKey(setting, i), &(*values)[i]);
  }
  if (CheckValues(*setting.fields, values) != kOk) {
    return Fail(std::string("invalid ") + setting.key + ".* value", error);
  }
  // A reply must be able to carry the list back.
  if (EncodeValues(*values).size() > kMaxBodySize) {
    return Fail(std::string(setting.key) + ".* values too long", error);
  }
  return true;
}

std::string Line(const std::string& key, const std::string& value) {
  return key + "=" + EscapeLine(value) + "\n";
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
                std::string* error) {
  uint32_t version = 0;
  Entries entries;
  std::vector<std::string> order;
  if (!ReadEntries(text, &version, &entries, &order, error)) return false;
  // A key the file lacks keeps its default: older versions did not know it.
  ServiceSettings parsed = ServiceSettings::Defaults();
  for (size_t n = 0; n < kStoredSettingCount; ++n) {
    const StoredSetting& setting = kStoredSettings[n];
    bool ok =
        setting.list == nullptr
            ? TakeNumber(&entries, setting, &(parsed.*setting.number), error)
            : TakeList(&entries, setting, &(parsed.*setting.list), error);
    if (!ok) return false;
  }
  // Keys no version up to ours wrote are damage; a newer version's are kept.
  if (!entries.empty() && version <= kStateVersion) {
    return Fail("unknown key " + EscapeLine(entries.begin()->first), error);
  }
  if (!entries.empty()) {
    parsed.later.version = version;
    for (const std::string& key : order) {
      auto it = entries.find(key);
      if (it != entries.end()) parsed.later.entries.push_back(*it);
    }
  }
  *settings = parsed;
  return true;
}

StateFile::StateFile(const std::string& path) : path_(path) {}

bool StateFile::Load(ServiceSettings* settings, std::string* note,
                     time_t now) {
  note->clear();
  *settings = ServiceSettings::Defaults();
  RemoveStaleTemporaries(path_);
  std::string text;
  std::string problem;
  int read_error =
      ReadFileBounded(path_, kStateLimit, ReadRule::kPrivate, &text, &problem);
  if (read_error == ENOENT) return true;
  ServiceSettings parsed;
  if (read_error == 0 && ParseState(text, &parsed, &problem)) {
    *settings = parsed;
    return true;
  }
  std::string moved_to;
  std::string error;
  if (!SetAside(now, &moved_to, &error)) {
    *note = "state file " + path_ + " is unusable (" + problem +
            ") and could not be set aside: " + error;
    return false;
  }
  *note = "state file " + path_ + " is unusable (" + problem +
          "); moved to " + moved_to + ", using defaults";
  return true;
}

bool StateFile::Save(const ServiceSettings& settings, std::string* error) {
  return ReplaceFileDurably(path_, FormatState(settings), error);
}

bool StateFile::SetAside(time_t now, std::string* moved_to,
                         std::string* error) {
  std::string base = path_ + ".corrupt-" + std::to_string(now);
  // Never overwrite an earlier casualty from the same second.
  std::string target = base;
  struct stat info;
  for (int n = 1; lstat(target.c_str(), &info) == 0; ++n) {
    target = base + "." + std::to_string(n);
  }
  if (rename(path_.c_str(), target.c_str()) != 0) {
    *error = ErrorText(errno);
    return false;
  }
  *moved_to = target;
  return true;
}

}  // namespace service
}  // namespace qmx
