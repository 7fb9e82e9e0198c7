// The journal: one line per action a client asked for (downloads, updates,
// rollbacks, reboots), since the stand-in performs none of them. Each line is
// "<UTC time>\t<kind>\t<Name=value>..." with values escaped to stay on the
// line; the file is 0600 because values may hold passwords.

#ifndef QMX_SERVICE_JOURNAL_FILE_H_
#define QMX_SERVICE_JOURNAL_FILE_H_

#include <ctime>
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

  // Appends the line with a single write, so that lines from concurrent
  // requests never mix.
  bool Record(const std::string& kind, const std::vector<std::string>& params,
              std::string* error) override;

 private:
  const std::string path_;
};

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_JOURNAL_FILE_H_
