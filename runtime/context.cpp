// The call context: the provider only forwards it, so it carries nothing.

#include <atomic>

#include "runtime/repository.h"

namespace qmx {
namespace {

class Context : public IWbemContext {
 public:
  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

 private:
  ~Context() override = default;

  std::atomic<ULONG> m_refs{1};
};

}  // namespace

IWbemContext* CreateContext() { return new Context(); }

}  // namespace qmx
