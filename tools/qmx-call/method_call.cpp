#include "tools/qmx-call/method_call.h"

#include "tools/qmx-call/input_params.h"

namespace qmx {
namespace call {

const char kClassName[] = "VELTRAX_UpdateManager";

Ref<IWbemServices> LoadSchema(const std::string& path, std::string* error) {
  Ref<IWbemServices> services(LoadRepository({path}, error));
  if (!services) *error = "cannot load the schema: " + *error;
  return services;
}

bool MethodCall::Prepare(const CallOptions& options, std::string* error) {
  method_ = options.method;
  services_ = LoadSchema(options.schema, error);
  if (!services_ || !LookUpMethod(error) || !MakeInput(options, error) ||
      !module_.Open(options.provider, error)) {
    return false;
  }
  module_.provider()->SetServices(services_.get());
  return true;
}

CallOutcome MethodCall::Run() {
  Ref<IWbemContext> context(CreateContext());
  std::string object_path = kClassName;
  std::string method = method_;  // the provider takes non-const strings
  CallOutcome outcome;
  outcome.method = method_;
  outcome.status = module_.provider()->ExecMethodAsync(
      &object_path[0], &method[0], 0, context.get(), input_.get(), &sink_);
  if (!sink_.Indicated().empty()) outcome.output = sink_.Indicated().front();
  outcome.out_class = out_.get();
  return outcome;
}

bool MethodCall::LookUpMethod(std::string* error) {
  Ref<IWbemClassObject> cls;
  if (FAILED(services_->GetObject(kClassName, 0, nullptr, cls.Out(), nullptr))) {
    *error = std::string("the schema declares no class ") + kClassName;
    return false;
  }
  // A method the schema does not know still goes to the provider as typed:
  // its answer is what the user wants to see.
  declared_ = SUCCEEDED(
      cls->GetMethod(method_.c_str(), 0, in_.Out(), out_.Out()));
  return true;
}

bool MethodCall::MakeInput(const CallOptions& options, std::string* error) {
  if (in_) {
    return BuildInput(services_.get(), in_.get(), options.assignments, &input_,
                      error);
  }
  if (options.assignments.empty()) return true;
  if (declared_) {
    *error = method_ + " takes no input parameters";
  } else {
    *error = "the schema declares no method " + method_ +
             ", so its arguments cannot be typed";
  }
  return false;
}

}  // namespace call
}  // namespace qmx
