// A provider library loaded the way the host framework loads it: opened
// with every symbol bound at once, its factory run, and, when this goes
// away, its provider deleted before the library is closed.

#ifndef QMX_TOOLS_QMX_CALL_PROVIDER_MODULE_H_
#define QMX_TOOLS_QMX_CALL_PROVIDER_MODULE_H_

#include <string>

#include "host/provider_base.h"

namespace qmx {
namespace call {

class ProviderModule {
 public:
  ProviderModule() = default;
  ~ProviderModule();
  ProviderModule(const ProviderModule&) = delete;
  ProviderModule& operator=(const ProviderModule&) = delete;

  // False with *error when the library cannot be opened, has no "create"
  // or its factory gives no provider.
  bool Open(const std::string& path, std::string* error);

  CVELTRAX_ServerService* provider() const { return provider_; }

 private:
  void* handle_ = nullptr;
  CVELTRAX_ServerService* provider_ = nullptr;
};

}  // namespace call
}  // namespace qmx

#endif  // QMX_TOOLS_QMX_CALL_PROVIDER_MODULE_H_
