// A small reader for INI files: [Section] headers and key=value lines, with
// ';' and '#' comment lines. Keys and sections are matched without regard to
// letter case; values are trimmed of surrounding blanks. It parses bytes
// already read (safe_files.h does the reading). Ours rather than a packaged
// INI library: the product target is i386, where that library would come
// from a second architecture's packages, and its build-time choices
// (indented lines continuing a value, inline comments, a cap on line
// length) would change what an existing file means.

#ifndef QMX_COMMON_INI_FILE_H_
#define QMX_COMMON_INI_FILE_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qmx {

class IniFile {
 public:
  void LoadText(const std::string& text);

  // The value of section.key, or nullptr when absent.
  const std::string* Find(const std::string& section,
                          const std::string& key) const;

  // The keys, as written, that stand outside section (before any section
  // header or in another one).
  std::vector<std::string> KeysOutside(const std::string& section) const;

  // A decimal integer in [minimum, maximum]. Absent: fallback, and *malformed
  // stays false. Present but not such an integer: fallback and *malformed
  // true (the caller says so where a person will read it).
  long GetInt(const std::string& section, const std::string& key,
              long fallback, long minimum, long maximum,
              bool* malformed) const;

 private:
  std::map<std::string, std::string> m_values;  // "section\nkey", lower case
  std::vector<std::pair<std::string, std::string>> m_keys;  // section, key
};

}  // namespace qmx

#endif  // QMX_COMMON_INI_FILE_H_
