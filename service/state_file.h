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

#include "service/service_state.h"
#include "service/settings.h"

namespace qmx {
namespace service {

std::string FormatState(const ServiceSettings& settings);

// Fills *settings from text; false with *error when text is not a complete
// state file with valid values.
bool ParseState(const std::string& text, ServiceSettings* settings,
                std::string* error);

// The state file on disk (mode 0600: schedules may hold passwords).
class StateFile : public SettingsStore {
 public:
  explicit StateFile(const std::string& path);

  // Reads the settings. A missing file gives the defaults. A file that cannot
  // be read, trusted (see ReadRule::kPrivate) or parsed is renamed to "<path>.corrupt-<now>", *note says so,
  // and the defaults are used. False only when such a file could not be
  // moved aside: the caller must not go on and overwrite it.
  bool Load(ServiceSettings* settings, std::string* note, time_t now);

  bool Save(const ServiceSettings& settings, std::string* error) override;

 private:
  bool SetAside(time_t now, std::string* moved_to, std::string* error);

  const std::string path_;
};

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_STATE_FILE_H_
