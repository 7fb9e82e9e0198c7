// The journal: one line per action a client asked for (downloads, updates,
// rollbacks, reboots), since the stand-in performs none of them. Each line is
// "<UTC time>\t<kind>\t<Name=value>..." with values escaped to stay on the
// line; the file is 0600 because values may hold passwords.

#ifndef QMX_SERVICE_JOURNAL_FILE_H_
#define QMX_SERVICE_JOURNAL_FILE_H_

#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "service/service_state.h"

namespace qmx {
namespace service {

std::string FormatJournalLine(time_t when, const std::string& kind,
                              const std::vector<std::string>& params);

class JournalFile : public ActionJournal {
 public:
  explicit JournalFile(const std::string& path);

  // Appends the line with a single write, one request at a time, so that
  // lines never mix and a line the disk could not take whole is taken back
  // instead of having the next one glued to it.
  bool Record(const std::string& kind, const std::vector<std::string>& params,
              std::string* error) override;

 private:
  const std::string path_;
  std::mutex mutex_;
};

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_JOURNAL_FILE_H_
