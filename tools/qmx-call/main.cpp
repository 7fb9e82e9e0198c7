// qmx-call: plays the host framework for one method call of
// VELTRAX_UpdateManager, so that a person or a script can drive the provider
// and the update service from a shell.

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/qmx_root.h"
#include "host/provider_base.h"
#include "runtime/repository.h"
#include "runtime/trace_control.h"
#include "tools/qmx-call/call_options.h"
#include "tools/qmx-call/call_report.h"
#include "tools/qmx-call/input_params.h"
#include "tools/qmx-call/object_ref.h"
#include "tools/qmx-call/provider_module.h"

namespace {

using namespace qmx::call;

const char kClassName[] = "VELTRAX_UpdateManager";
// Relative to this executable's folder, in the build tree and installed.
const char kProviderFile[] = "../lib/libqmxp_Veltrax_UpdateManager.so";
const char kSchemaFile[] = "../share/qmx/schema/VELTRAX_UpdateManager.mof";
const int kUsageError = 64;

// The folder holding this executable; "." when it cannot be told.
std::string ExecutableDir() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  std::string full(path, static_cast<size_t>(length));
  return full.substr(0, full.rfind('/'));
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "qmx-call: %s\n", message.c_str());
  return kUsageError;
}

// The schema's view of the called method.
struct MethodSignature {
  bool declared = false;
  Ref<IWbemClassObject> in;   // null when it takes no input
  Ref<IWbemClassObject> out;  // null when undeclared
};

bool LookUpMethod(IWbemServices* services, const std::string& method,
                  MethodSignature* signature, std::string* error) {
  Ref<IWbemClassObject> cls;
  if (FAILED(services->GetObject(kClassName, 0, nullptr, cls.Out(), nullptr))) {
    *error = std::string("the schema declares no class ") + kClassName;
    return false;
  }
  // A method the schema does not know still goes to the provider as typed:
  // its answer is what the user wants to see.
  signature->declared = SUCCEEDED(cls->GetMethod(
      method.c_str(), 0, signature->in.Out(), signature->out.Out()));
  return true;
}

bool MakeInput(IWbemServices* services, const CallOptions& options,
               const MethodSignature& signature, Ref<IWbemClassObject>* input,
               std::string* error) {
  if (signature.in) {
    return BuildInput(services, signature.in.get(), options.assignments, input,
                      error);
  }
  if (options.assignments.empty()) return true;
  if (signature.declared) {
    *error = options.method + " takes no input parameters";
  } else {
    *error = "the schema declares no method " + options.method +
             ", so its arguments cannot be typed";
  }
  return false;
}

int Call(const CallOptions& options) {
  std::string error;
  Ref<IWbemServices> services(qmx::LoadRepository({options.schema}, &error));
  if (!services) return UsageError("cannot load the schema: " + error);
  MethodSignature signature;
  Ref<IWbemClassObject> input;
  if (!LookUpMethod(services.get(), options.method, &signature, &error) ||
      !MakeInput(services.get(), options, signature, &input, &error)) {
    return UsageError(error);
  }
  ProviderModule module;
  if (!module.Open(options.provider, &error)) return UsageError(error);
  module.provider()->SetServices(services.get());

  Ref<IWbemContext> context(qmx::CreateContext());
  qmx::RecordingSink sink;
  std::string object_path = kClassName;
  std::string method = options.method;
  CallOutcome outcome;
  outcome.method = options.method;
  outcome.status = module.provider()->ExecMethodAsync(
      &object_path[0], &method[0], 0, context.get(), input.get(), &sink);
  if (!sink.Indicated().empty()) outcome.output = sink.Indicated().front();
  outcome.out_class = signature.out.get();
  std::string report = options.json ? FormatJson(outcome) : FormatText(outcome);
  std::fputs(report.c_str(), stdout);
  return ExitStatus(outcome);
}

}  // namespace

int main(int argc, char** argv) {
  CallOptions options;
  std::string error;
  if (!qmx::CheckQmxRoot(&error)) return UsageError(error);
  if (!ParseCallOptions(std::vector<std::string>(argv + 1, argv + argc),
                        &options, &error)) {
    std::fprintf(stderr, "qmx-call: %s\n%s", error.c_str(), Usage().c_str());
    return kUsageError;
  }
  if (options.help) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }
  std::string dir = ExecutableDir();
  if (options.provider.empty()) options.provider = dir + "/" + kProviderFile;
  // dlopen searches the library path for a bare name; the user meant a file.
  if (options.provider.find('/') == std::string::npos) {
    options.provider = "./" + options.provider;
  }
  if (options.schema.empty()) options.schema = dir + "/" + kSchemaFile;
  if (options.trace) {
    // Every level, unless the user chose some (an empty choice is none).
    const char* level = getenv("QMX_TRACE_LEVEL");
    if (level == nullptr || *level == '\0') setenv("QMX_TRACE_LEVEL", "31", 1);
    qmx::ReloadTraceLevel();
    qmx::SetTraceMirror(STDERR_FILENO);
  }
  return Call(options);
}
