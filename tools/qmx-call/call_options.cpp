#include "tools/qmx-call/call_options.h"

namespace qmx {
namespace call {
namespace {

bool ParseAssignment(const std::string& text, Assignment* assignment,
                     std::string* error) {
  size_t equals = text.find('=');
  std::string name = text.substr(0, equals);
  size_t dot = name.find('.');
  std::string parameter = name.substr(0, dot);
  std::string property =
      dot == std::string::npos ? std::string() : name.substr(dot + 1);
  if (equals == std::string::npos || parameter.empty() ||
      (dot != std::string::npos && property.empty())) {
    *error = "argument \"" + text +
             "\" is neither PARAM=VALUE nor PARAM.PROPERTY=VALUE";
    return false;
  }
  assignment->parameter = parameter;
  assignment->property = property;
  assignment->value = text.substr(equals + 1);
  assignment->text = text;
  return true;
}

// The option that takes a path, or null when name is none of them.
std::string* PathOption(const std::string& name, CallOptions* options) {
  if (name == "--provider") return &options->provider;
  if (name == "--schema") return &options->schema;
  return nullptr;
}

bool* FlagOption(const std::string& arg, CallOptions* options) {
  if (arg == "--json") return &options->json;
  if (arg == "--trace") return &options->trace;
  if (arg == "--help" || arg == "-h") return &options->help;
  return nullptr;
}

// Handles one option at args[*index], advancing past its value.
bool ParseOption(const std::vector<std::string>& args, size_t* index,
                 CallOptions* options, std::string* error) {
  const std::string& arg = args[*index];
  size_t equals = arg.find('=');
  std::string name = arg.substr(0, equals);
  std::string* path = PathOption(name, options);
  if (path != nullptr) {
    if (equals != std::string::npos) {
      *path = arg.substr(equals + 1);
    } else if (*index + 1 < args.size()) {
      *path = args[++*index];
    }
    if (path->empty()) {
      *error = name + " needs a path";
      return false;
    }
    return true;
  }
  bool* flag = FlagOption(arg, options);
  if (flag == nullptr) {
    *error = "unknown option \"" + arg + "\"";
    return false;
  }
  *flag = true;
  return true;
}

bool IsOption(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-';
}

}  // namespace

bool ParseCallOptions(const std::vector<std::string>& args,
                      CallOptions* options, std::string* error) {
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
      continue;
    }
    if (!options_ended && IsOption(arg)) {
      if (!ParseOption(args, &i, options, error)) return false;
      continue;
    }
    if (options->method.empty()) {
      options->method = arg;
      continue;
    }
    Assignment assignment;
    if (!ParseAssignment(arg, &assignment, error)) return false;
    options->assignments.push_back(assignment);
  }
  if (options->help) return true;
  if (options->method.empty()) {
    *error = "no method given";
    return false;
  }
  return true;
}

std::string Usage() {
  return "usage: qmx-call [--provider PATH] [--schema PATH] [--json] [--trace]"
         " METHOD [ARG ...]\n"
         "Calls one method of VELTRAX_UpdateManager through its provider, as"
         " the host\n"
         "framework would, and shows what the provider answered.\n"
         "  ARG         PARAM=VALUE, or PARAM.PROPERTY=VALUE for a property of"
         " an\n"
         "              embedded-object parameter; values are typed by the"
         " schema\n"
         "              (boolean: true/false/1/0, sint32/uint32: decimal)\n"
         "  --provider  the provider library (default:\n"
         "              ../lib/libqmxp_Veltrax_UpdateManager.so from this"
         " program)\n"
         "  --schema    the MOF schema (default:\n"
         "              ../share/qmx/schema/VELTRAX_UpdateManager.mof from"
         " this program)\n"
         "  --json      one JSON object instead of text\n"
         "  --trace     every trace line to stderr as well (QMX_TRACE_LEVEL"
         " 31 unless set)\n"
         "Exit status: 0 success, 1 the method's ReturnValue is not 0, 2 the"
         " call failed,\n"
         "64 usage error.\n";
}

}  // namespace call
}  // namespace qmx
