// The shipped provider library inside the benchmark, hosted as a host does:
// the product schema as the services object, the provider made by the
// library's exported factory, and one ExecMethodAsync per call with a fresh
// sink. Inputs are built once per method and reused.

#ifndef QMX_BENCH_PROVIDER_HOST_H_
#define QMX_BENCH_PROVIDER_HOST_H_

#include <cstdint>
#include <map>
#include <string>

#include "host/provider_base.h"
#include "host/wbem.h"

namespace qmx {
namespace bench {

class ProviderHost {
 public:
  // Throws std::runtime_error when the schema or the library cannot be
  // loaded.
  ProviderHost(const std::string& library_path, const std::string& schema_path);
  ~ProviderHost();
  ProviderHost(const ProviderHost&) = delete;
  ProviderHost& operator=(const ProviderHost&) = delete;

  // One method call; the method's return value. Throws when the call does
  // not end with status 0 and one indicated instance, since a benchmark of
  // failing calls measures nothing.
  uint32_t Call(const std::string& method);

 private:
  IWbemClassObject* InputFor(const std::string& method);
  IWbemClassObject* MakeInstance(const std::string& class_name);

  IWbemServices* services_ = nullptr;
  IWbemContext* context_ = nullptr;
  CVELTRAX_ServerService* provider_ = nullptr;
  std::map<std::string, IWbemClassObject*> inputs_;  // null: no input
};

}  // namespace bench
}  // namespace qmx

#endif  // QMX_BENCH_PROVIDER_HOST_H_
