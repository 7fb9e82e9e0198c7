// The state file keeps both schedules and the developer knobs across
// restarts. It is versioned text, one "key=value" line per field, values
// escaped to stay on their line:
//
//   qmxupdtmngr-state 1
//   Status=0000
//   Reboot=00000000
//   download.IsAutoSetting=0
//   ...
//   update.Time=
//   end
//
// The closing "end" line tells a whole file from a cut one. The version is
// the newest the writer knows (kStateVersion). Any version reads: a key the
// file lacks takes its default (an older writer did not know it), and keys a
// newer writer added are carried along and saved again; an unknown key in a
// file of this version or older is damage.

#ifndef QMX_SERVICE_STATE_FILE_H_
#define QMX_SERVICE_STATE_FILE_H_

#include <ctime>
#include <string>
#include <vector>

#include "service/service_state.h"
#include "service/settings.h"

namespace qmx {
namespace service {

std::string FormatState(const ServiceSettings& settings);

// Fills *settings from text, each key from its line when that line is
// good; *problems names each bad line by its number (the key keeps its
// default). CR and blanks ending a line are dropped. False with *error only
// when text is no state file (no version line).
bool ParseState(const std::string& text, ServiceSettings* settings,
                std::vector<std::string>* problems, std::string* error);

// The state file on disk (mode 0600: schedules may hold passwords).
class StateFile : public SettingsStore {
 public:
  explicit StateFile(const std::string& path);

  // Reads the settings. A missing file gives the defaults. A file that cannot
  // be read, trusted (see ReadRule::kPrivate: root's will do) or parsed is
  // renamed to "<path>.corrupt-<now>" and the defaults are used. A file with
  // bad lines is copied so, and its good lines are used and saved over it:
  // a stop at any moment leaves the file or its repair.
  // *notes holds a line for the log about each bad line and where the file
  // went. False only when the file could not be moved aside: the caller
  // must not go on and overwrite it.
  bool Load(ServiceSettings* settings, std::vector<std::string>* notes, time_t now);

  bool Save(const ServiceSettings& settings, std::string* error) override;

 private:
  // Moves the file to a new "<path>.corrupt-<now>", or writes copy there
  // when given.
  bool SetAside(time_t now, const std::string* copy, std::string* moved_to,
                std::string* error);

  const std::string path_;
};

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_STATE_FILE_H_
