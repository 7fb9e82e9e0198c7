#include "tools/qmx-call/call_options.h"

#include <getopt.h>
#include <limits.h>
#include <unistd.h>

namespace qmx {
namespace call {
namespace {

// Relative to this executable's folder, in the build tree and installed.
const char kProviderFile[] = "../lib/libqmxp_Veltrax_UpdateManager.so";
const char kSchemaFile[] = "../share/qmx/schema/VELTRAX_UpdateManager.mof";

// Long options without a short form get values above any character.
enum OptionId { kHelp = 'h', kProvider = 256, kSchema, kJson, kTrace, kCheck };

const option kOptions[] = {
    {"provider", required_argument, nullptr, kProvider},
    {"schema", required_argument, nullptr, kSchema},
    {"json", no_argument, nullptr, kJson},
    {"trace", no_argument, nullptr, kTrace},
    {"check", no_argument, nullptr, kCheck},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

const char* LongName(int id) {
  for (const option* o = kOptions; o->name != nullptr; ++o) {
    if (o->val == id) return o->name;
  }
  return nullptr;
}

// What getopt_long objected to, in our words rather than its own (which
// would name the program by the path it was started with). result is ':'
// for a missing value, '?' otherwise; argv[optind - 1] is the argument.
std::string OptionError(int result, char** argv) {
  const char* name = LongName(optopt);
  if (result == ':') return std::string("option --") + name + " needs a path";
  if (name != nullptr) return std::string("option --") + name + " takes no value";
  if (optopt != 0) return std::string("unknown option \"-") + char(optopt) + "\"";
  std::string arg = argv[optind - 1];
  return "unknown option \"" + arg.substr(0, arg.find('=')) + "\"";
}

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

// Sets what one recognised option stands for; false for an empty path.
bool ApplyOption(int id, CallOptions* options, std::string* error) {
  std::string* path = nullptr;
  switch (id) {
    case kProvider: path = &options->provider; break;
    case kSchema: path = &options->schema; break;
    case kJson: options->json = true; return true;
    case kTrace: options->trace = true; return true;
    case kCheck: options->check = true; return true;
    default: options->help = true; return true;
  }
  *path = optarg;
  if (!path->empty()) return true;
  *error = std::string("option --") + LongName(id) + " needs a path";
  return false;
}

// The folder holding this executable; "." when it cannot be told.
std::string ExecutableDir() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  std::string full(path, static_cast<size_t>(length));
  return full.substr(0, full.rfind('/'));
}

}  // namespace

bool ParseCallOptions(int argc, char** argv, CallOptions* options,
                      std::string* error) {
  opterr = 0;  // the messages are ours
  int id;
  // The leading ':' tells a missing value (':') from anything else ('?').
  while ((id = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
    if (id == '?' || id == ':') {
      *error = OptionError(id, argv);
      return false;
    }
    if (!ApplyOption(id, options, error)) return false;
  }
  if (options->help) return true;
  if (options->check && optind < argc) {
    *error = "--check calls no method, but \"" + std::string(argv[optind]) +
             "\" was given";
    return false;
  }
  if (options->check) return true;
  if (optind >= argc) {
    *error = "no method given";
    return false;
  }
  options->method = argv[optind];
  for (int i = optind + 1; i < argc; ++i) {
    Assignment assignment;
    if (!ParseAssignment(argv[i], &assignment, error)) return false;
    options->assignments.push_back(assignment);
  }
  return true;
}

void ApplyDefaultPaths(CallOptions* options) {
  std::string dir = ExecutableDir();
  if (options->provider.empty()) options->provider = dir + "/" + kProviderFile;
  if (options->provider.find('/') == std::string::npos) {
    options->provider = "./" + options->provider;
  }
  if (options->schema.empty()) options->schema = dir + "/" + kSchemaFile;
}

std::string Usage() {
  return "usage: qmx-call [--provider=PATH] [--schema=PATH] [--json] [--trace]"
         " [--] METHOD [ARG ...]\n"
         "       qmx-call [--provider=PATH] [--schema=PATH] [--json] [--trace]"
         " --check\n"
         "       qmx-call --help\n"
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
         "  --json      one line of JSON instead of text, always valid UTF-8:"
         " bytes of\n"
         "              a value that are not UTF-8 are replaced with U+FFFD\n"
         "  --trace     every trace line to stderr as well (QMX_TRACE_LEVEL"
         " 31 unless set)\n"
         "  --check     call no method: check each link a call passes"
         " through, in order\n"
         "              (configuration, socket, service, package, provider,"
         " schema,\n"
         "              trace), one line each: ok or FAILING, what was found,"
         " what to do;\n"
         "              with --json an array of {link, ok, found, action}\n"
         "  -h, --help  print this help and exit\n"
         "Text shows control characters and bytes that are not UTF-8 as \\xHH"
         " (\\x1b).\n"
         "Options may also follow the method, \"--schema PATH\" is"
         " \"--schema=PATH\", and \"--\"\n"
         "ends the options.\n"
         "Exit status: 0 success (--check: every link ok), 1 the method's"
         " ReturnValue is\n"
         "not 0 (--check: a link is failing), 2 the call failed, 64 usage"
         " error, 74 the\n"
         "report could not be written.\n";
}

}  // namespace call
}  // namespace qmx
