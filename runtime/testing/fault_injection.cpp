#include <memory>
#include <mutex>
#include <vector>

#include "common/names.h"
#include "runtime/testing/attached.h"

namespace qmx {
namespace {

// One registered fault: a status to fail with, or an action to run.
struct Rule {
  testing::HostOperation op;
  std::string name;
  HRESULT status;
  std::shared_ptr<std::function<void()>> action;

  bool Matches(testing::HostOperation what, const char* who) const {
    return op == what &&
           (op == testing::HostOperation::kIndicate || EqualsNoCase(name, who));
  }
};

std::mutex g_mutex;
std::vector<Rule> g_rules;

void AddRule(Rule rule) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_rules.push_back(std::move(rule));
}

}  // namespace

namespace testing {
namespace detail {

// Actions run without the lock: they may call back into the runtime.
HRESULT CheckFault(HostOperation op, const char* name) {
  std::vector<std::shared_ptr<std::function<void()>>> actions;
  HRESULT status = WBEM_S_NO_ERROR;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const Rule& rule : g_rules) {
      if (!rule.Matches(op, name)) continue;
      if (rule.action != nullptr) actions.push_back(rule.action);
      if (rule.action == nullptr && status == WBEM_S_NO_ERROR) {
        status = rule.status;
      }
    }
  }
  for (const auto& action : actions) (*action)();
  return status;
}

}  // namespace detail

FaultInjection::FaultInjection() {}

FaultInjection::~FaultInjection() {
  detail::ObjectHooks().faultsArmed->store(false);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_rules.clear();
}

void FaultInjection::Fail(HostOperation op, const std::string& name,
                          HRESULT status) {
  AddRule(Rule{op, name, status, nullptr});
  detail::ObjectHooks().faultsArmed->store(true);
}

void FaultInjection::Run(HostOperation op, const std::string& name,
                         std::function<void()> action) {
  AddRule(Rule{op, name, WBEM_S_NO_ERROR,
               std::make_shared<std::function<void()>>(std::move(action))});
  detail::ObjectHooks().faultsArmed->store(true);
}

}  // namespace testing
}  // namespace qmx
