#include "service/journal_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "service/files.h"

namespace qmx {
namespace service {

std::string FormatJournalLine(time_t when, const std::string& kind,
                              const std::vector<std::string>& params) {
  struct tm utc;
  gmtime_r(&when, &utc);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line = std::string(stamp) + "\t" + kind;
  for (const std::string& param : params) line += "\t" + EscapeLine(param);
  return line + "\n";
}

JournalFile::JournalFile(const std::string& path) : path_(path) {}

bool JournalFile::Record(const std::string& kind,
                         const std::vector<std::string>& params,
                         std::string* error) {
  int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = path_ + ": " + ErrorText(errno);
    return false;
  }
  // A journal left by hand with a wider mode is narrowed before it gets
  // another password.
  std::string line = FormatJournalLine(time(nullptr), kind, params);
  bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, line);
  if (!ok) *error = path_ + ": " + ErrorText(errno);
  close(fd);
  return ok;
}

}  // namespace service
}  // namespace qmx
