// ServiceState is what requests act on: the settings, replaced whole so that
// a Set is atomic with respect to Gets, plus where settings are persisted and
// actions journaled. Without a store or journal (the fuzzer, unit tests) it
// keeps everything in memory.

#ifndef QMX_SERVICE_SERVICE_STATE_H_
#define QMX_SERVICE_SERVICE_STATE_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/settings.h"

namespace qmx {
namespace service {

// Makes settings durable; the state file in the service.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // True once settings are in place and would survive a crash of the
  // service; *error may then still say that a power loss could undo them.
  virtual bool Save(const ServiceSettings& settings, std::string* error) = 0;
};

// Keeps a record of the actions clients asked for; the journal file in the
// service.
class ActionJournal {
 public:
  virtual ~ActionJournal() = default;
  // params are "Name=value" items.
  virtual bool Record(const std::string& kind,
                      const std::vector<std::string>& params,
                      std::string* error) = 0;
};

class ServiceState {
 public:
  // store and journal may be null; both must outlive the state.
  ServiceState(const ServiceSettings& initial, SettingsStore* store,
               ActionJournal* journal);
  ServiceState(const ServiceState&) = delete;
  ServiceState& operator=(const ServiceState&) = delete;

  // The settings in force. A save never changes them: it puts new ones in
  // their place, so a reader may keep these as long as it likes and copies
  // nothing to read one value.
  std::shared_ptr<const ServiceSettings> Snapshot() const;
  ServiceSettings Get() const { return *Snapshot(); }

  // Replaces one stored list (&ServiceSettings::download or ::update). The
  // new value is kept only when the store saved it; false otherwise, and the
  // old settings stay in force. Saves are made one at a time, and a reader
  // waits for none: it has the old settings until the new ones are saved.
  bool SetList(std::vector<std::string> ServiceSettings::*list,
               const std::vector<std::string>& values);

  bool Record(const std::string& kind, const std::vector<std::string>& params);

 private:
  std::mutex save_mutex_;  // held for a whole save
  mutable std::mutex mutex_;  // held only to take or swap the pointer
  std::shared_ptr<const ServiceSettings> settings_;  // guarded by mutex_;
                                                    // swapped under save_mutex_ too
  SettingsStore* const store_;
  ActionJournal* const journal_;
};

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_SERVICE_STATE_H_
