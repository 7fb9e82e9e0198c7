// One method call made as the host framework makes it: the schema loaded
// into a class repository, the method looked up and its input built from
// the user's assignments, the provider library opened and given the
// repository, and ExecMethodAsync run into a recording sink. It holds all
// that the outcome points into, so the outcome is shown while this lives.

#ifndef QMX_TOOLS_QMX_CALL_METHOD_CALL_H_
#define QMX_TOOLS_QMX_CALL_METHOD_CALL_H_

#include <string>

#include "common/object_ref.h"
#include "host/wbem.h"
#include "runtime/repository.h"
#include "tools/qmx-call/call_options.h"
#include "tools/qmx-call/call_report.h"
#include "tools/qmx-call/provider_module.h"

namespace qmx {
namespace call {

// The class whose methods the tool calls.
extern const char kClassName[];

// The repository read from the schema at path; null with *error saying why
// (the file named, as the repository names it).
Ref<IWbemServices> LoadSchema(const std::string& path, std::string* error);

class MethodCall {
 public:
  // Everything short of the call: false with *error when the schema, the
  // method's input or the provider cannot be had. Nothing is sent then.
  bool Prepare(const CallOptions& options, std::string* error);

  // Calls the method; the outcome is valid while this object lives.
  CallOutcome Run();

 private:
  bool LookUpMethod(std::string* error);
  bool MakeInput(const CallOptions& options, std::string* error);

  std::string method_;
  Ref<IWbemServices> services_;
  bool declared_ = false;          // the schema declares the method
  Ref<IWbemClassObject> in_;       // its input class; null when none
  Ref<IWbemClassObject> out_;      // its output class; null when undeclared
  Ref<IWbemClassObject> input_;    // the input instance; null when none
  ProviderModule module_;
  RecordingSink sink_;
};

}  // namespace call
}  // namespace qmx

#endif  // QMX_TOOLS_QMX_CALL_METHOD_CALL_H_
