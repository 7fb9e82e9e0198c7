// The shipped provider library loaded and created the way the host
// framework does it, with the product schema as its services object, for
// tests that call it over the real transport. Calls may come from several
// threads at once, as a host makes them.

#ifndef QMX_TESTS_SUPPORT_PROVIDER_HOST_H_
#define QMX_TESTS_SUPPORT_PROVIDER_HOST_H_

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "host/provider_base.h"
#include "host/wbem.h"

namespace qmx {
namespace support {

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

class ProviderHost {
 public:
  // Throws std::runtime_error when the schema, the library or its factory
  // fails. The library stays loaded for the rest of the program, as in a
  // host.
  ProviderHost(const std::string& library, const std::string& schema);
  // Deletes the provider and releases the services object.
  ~ProviderHost();
  ProviderHost(const ProviderHost&) = delete;
  ProviderHost& operator=(const ProviderHost&) = delete;

  // One method call on the provider: a fresh instance in every embedded
  // input parameter, with the given fields set.
  CallOutcome Call(const std::string& method,
                   const std::vector<InputField>& fields = {});

 private:
  IWbemClassObject* MakeInput(const std::string& method,
                              const std::vector<InputField>& fields);
  IWbemClassObject* MakeInstance(const std::string& class_name);

  IWbemServices* services_ = nullptr;
  CVELTRAX_ServerService* provider_ = nullptr;
};

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_PROVIDER_HOST_H_
