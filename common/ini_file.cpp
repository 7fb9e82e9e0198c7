#include "common/ini_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "common/names.h"

namespace qmx {
namespace {

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string Lower(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

std::string KeyOf(const std::string& section, const std::string& key) {
  return Lower(section) + "\n" + Lower(key);
}

}  // namespace

void IniFile::LoadText(const std::string& text) {
  m_values.clear();
  m_keys.clear();
  std::istringstream in(text);
  std::string section;
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = Trim(line.substr(1, line.size() - 2));
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = Trim(line.substr(0, equals));
    m_values[KeyOf(section, key)] = Trim(line.substr(equals + 1));
    m_keys.emplace_back(section, key);
  }
}

const std::string* IniFile::Find(const std::string& section,
                                 const std::string& key) const {
  auto it = m_values.find(KeyOf(section, key));
  return it == m_values.end() ? nullptr : &it->second;
}

std::vector<std::string> IniFile::KeysOutside(const std::string& section) const {
  std::vector<std::string> keys;
  for (const auto& key : m_keys) {
    if (Lower(key.first) != Lower(section)) keys.push_back(key.second);
  }
  return keys;
}

long IniFile::GetInt(const std::string& section, const std::string& key,
                     long fallback, long minimum, long maximum,
                     bool* malformed) const {
  *malformed = false;
  const std::string* value = Find(section, key);
  if (value == nullptr) return fallback;
  const char* begin = value->c_str();
  char* end = nullptr;
  errno = 0;
  long long parsed = std::strtoll(begin, &end, 10);
  if (value->empty() || *end != '\0' || errno == ERANGE || parsed < minimum ||
      parsed > maximum) {
    *malformed = true;
    return fallback;
  }
  return static_cast<long>(parsed);
}

}  // namespace qmx
