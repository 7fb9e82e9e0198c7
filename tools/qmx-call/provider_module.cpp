#include "tools/qmx-call/provider_module.h"

#include <dlfcn.h>

namespace qmx {
namespace call {

ProviderModule::~ProviderModule() {
  // The provider's code lives in the library: it must be gone first.
  delete provider_;
  if (handle_ != nullptr) dlclose(handle_);
}

bool ProviderModule::Open(const std::string& path, std::string* error) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load the provider: " +
             std::string(reason != nullptr ? reason : path);
    return false;
  }
  dlerror();
  auto factory = reinterpret_cast<ProviderFactory>(dlsym(handle_, "create"));
  if (factory == nullptr) {
    *error = "the provider " + path + " exports no \"create\"";
    return false;
  }
  provider_ = factory();
  if (provider_ == nullptr) {
    *error = "the provider " + path + " made no provider object";
    return false;
  }
  return true;
}

}  // namespace call
}  // namespace qmx
