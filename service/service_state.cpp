#include "service/service_state.h"

#include "service/log.h"

namespace qmx {
namespace service {

ServiceState::ServiceState(const ServiceSettings& initial,
                           SettingsStore* store, ActionJournal* journal)
    : settings_(std::make_shared<const ServiceSettings>(initial)),
      store_(store),
      journal_(journal) {}

std::shared_ptr<const ServiceSettings> ServiceState::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

bool ServiceState::SetList(std::vector<std::string> ServiceSettings::*list,
                           const std::vector<std::string>& values) {
  std::lock_guard<std::mutex> saving(save_mutex_);
  auto next = std::make_shared<ServiceSettings>(*Snapshot());
  (*next).*list = values;
  std::string error;
  if (store_ != nullptr && !store_->Save(*next, &error)) {
    Log("settings not saved: " + error);
    return false;
  }
  // In place, so in force; only their survival of a power loss is in doubt.
  if (!error.empty()) Log("settings saved, but may not survive a power loss: " + error);
  // The old settings are freed by their last reader, or here after the
  // lock: a reader never waits for that.
  std::shared_ptr<const ServiceSettings> replaced = std::move(next);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.swap(replaced);
  }
  return true;
}

bool ServiceState::Record(const std::string& kind,
                          const std::vector<std::string>& params) {
  std::string error;
  if (journal_ != nullptr && !journal_->Record(kind, params, &error)) {
    Log("journal not written: " + error);
    return false;
  }
  return true;
}

}  // namespace service
}  // namespace qmx
