// The shipped provider library loaded and created the way the host
// framework does it, with the product schema as its services object, for
// the benchmark's calls over the real transport. Calls may come from
// several threads at once, as a host makes them.

#ifndef QMX_BENCH_PROVIDER_HOST_H_
#define QMX_BENCH_PROVIDER_HOST_H_

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "host/provider_base.h"
#include "host/wbem.h"

namespace qmx {
namespace bench {

// One property of an embedded input object, e.g. UpdateSchedule.Time.
struct InputField {
  std::string parameter;
  std::string property;
  std::variant<bool, int, std::string> value;
};

// What one ExecMethodAsync call delivered.
struct CallOutcome {
  HRESULT status = WBEM_S_NO_ERROR;  // its result
  int indicated = 0;                 // instances given to the sink
  uint32_t return_value = 0;         // "ReturnValue" of the first one
};

// A host object, released when the last copy goes.
using Object = std::shared_ptr<IWbemClassObject>;

class ProviderHost {
 public:
  // Throws std::runtime_error when the schema, the library or its factory
  // fails. The library stays loaded for the rest of the program, as in a
  // host.
  ProviderHost(const std::string& library, const std::string& schema);
  ~ProviderHost();
  ProviderHost(const ProviderHost&) = delete;
  ProviderHost& operator=(const ProviderHost&) = delete;

  // The input of method: a fresh instance in every embedded input
  // parameter, with the given fields set. Null for a method without input
  // parameters, as a host passes it.
  Object MakeInput(const std::string& method,
                   const std::vector<InputField>& fields = {}) const;
  // One method call with that input, which a caller that times the
  // provider alone makes once and reuses.
  CallOutcome CallWith(const std::string& method, IWbemClassObject* input);
  // The same with a fresh input, as a host builds one for every call.
  CallOutcome Call(const std::string& method,
                   const std::vector<InputField>& fields = {}) {
    return CallWith(method, MakeInput(method, fields).get());
  }

 private:
  IWbemServices* services_ = nullptr;
  IWbemContext* context_ = nullptr;
  CVELTRAX_ServerService* provider_ = nullptr;
};

}  // namespace bench
}  // namespace qmx

#endif  // QMX_BENCH_PROVIDER_HOST_H_
