#include "service/journal_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/safe_files.h"
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
  std::string line = FormatJournalLine(time(nullptr), kind, params);
  std::lock_guard<std::mutex> lock(mutex_);
  int fd = OpenForWriting(path_, O_APPEND, error);
  if (fd < 0) return false;
  bool ok = AppendWhole(fd, line, path_, error);
  close(fd);
  return ok;
}

}  // namespace service
}  // namespace qmx
