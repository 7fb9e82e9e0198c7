#include "service/state_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <sstream>

#include "service/files.h"
#include "service/protocol.h"

namespace qmx {
namespace service {
namespace {

constexpr char kVersionLine[] = "qmxupdtmngr-state 1";
constexpr char kEndLine[] = "end";
constexpr char kStatusKey[] = "Status";
constexpr char kRebootKey[] = "Reboot";
// Two schedules of at most a request body each, every byte escaped at
// worst to four: far below this.
constexpr size_t kStateLimit = 1 << 20;

struct ScheduleSection {
  const char* prefix;
  const FieldList* fields;
  std::vector<std::string> ServiceSettings::*values;
};

const ScheduleSection kSections[] = {
    {"download.", &kDownloadScheduleFields, &ServiceSettings::download},
    {"update.", &kUpdateScheduleFields, &ServiceSettings::update},
};

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

// Splits text into its "key=value" lines between the version and end lines.
bool ReadEntries(const std::string& text,
                 std::map<std::string, std::string>* entries,
                 std::string* error) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kVersionLine) {
    return Fail("not a version 1 state file", error);
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
    if (!entries->emplace(line.substr(0, equals), value).second) {
      return Fail("key " + line.substr(0, equals) + " given twice", error);
    }
  }
  return Fail("no end line (file cut short)", error);
}

bool TakeEntry(std::map<std::string, std::string>* entries,
               const std::string& key, std::string* value,
               std::string* error) {
  auto it = entries->find(key);
  if (it == entries->end()) return Fail("key " + key + " missing", error);
  *value = it->second;
  entries->erase(it);
  return true;
}

bool TakeHex(std::map<std::string, std::string>* entries,
             const std::string& key, size_t digits, uint32_t* value,
             std::string* error) {
  std::string text;
  if (!TakeEntry(entries, key, &text, error)) return false;
  if (!ParseHex(text, digits, value)) {
    return Fail("key " + key + " is not " + std::to_string(digits) +
                    " hex digits",
                error);
  }
  return true;
}

bool TakeSchedule(std::map<std::string, std::string>* entries,
                  const ScheduleSection& section,
                  std::vector<std::string>* values, std::string* error) {
  values->assign(section.fields->count, "");
  for (size_t i = 0; i < section.fields->count; ++i) {
    std::string key =
        std::string(section.prefix) + section.fields->fields[i].name;
    if (!TakeEntry(entries, key, &(*values)[i], error)) return false;
  }
  if (CheckValues(*section.fields, values) != kOk) {
    return Fail(std::string("invalid ") + section.prefix + "* value", error);
  }
  // A reply must be able to carry the list back.
  if (EncodeValues(*values).size() > kMaxBodySize) {
    return Fail(std::string(section.prefix) + "* values too long", error);
  }
  return true;
}

}  // namespace

std::string FormatState(const ServiceSettings& settings) {
  std::string text = std::string(kVersionLine) + "\n";
  text += std::string(kStatusKey) + "=" + Hex4(settings.status) + "\n";
  text += std::string(kRebootKey) + "=" + Hex8(settings.reboot) + "\n";
  for (const ScheduleSection& section : kSections) {
    const std::vector<std::string>& values = settings.*section.values;
    for (size_t i = 0; i < section.fields->count && i < values.size(); ++i) {
      text += section.prefix;
      text += section.fields->fields[i].name;
      text += "=" + EscapeLine(values[i]) + "\n";
    }
  }
  return text + kEndLine + "\n";
}

bool ParseState(const std::string& text, ServiceSettings* settings,
                std::string* error) {
  std::map<std::string, std::string> entries;
  if (!ReadEntries(text, &entries, error)) return false;
  ServiceSettings parsed;
  uint32_t status = 0;
  if (!TakeHex(&entries, kStatusKey, 4, &status, error) ||
      !TakeHex(&entries, kRebootKey, 8, &parsed.reboot, error)) {
    return false;
  }
  parsed.status = static_cast<uint16_t>(status);
  for (const ScheduleSection& section : kSections) {
    if (!TakeSchedule(&entries, section, &(parsed.*section.values), error)) {
      return false;
    }
  }
  if (!entries.empty()) {
    return Fail("unknown key " + entries.begin()->first, error);
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
