#include "service/options.h"

#include "common/qmx_root.h"
#include "common/socket_config.h"
#include "service/files.h"

namespace qmx {
namespace service {

bool ParseCommandLine(const std::vector<std::string>& args,
                      CommandLine* command_line, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      command_line->help = true;
      continue;
    }
    std::string* target = arg == "--config"  ? &command_line->config_path
                          : arg == "--state" ? &command_line->state_path
                                             : nullptr;
    if (target == nullptr) {
      *error = "unknown argument \"" + arg + "\"";
      return false;
    }
    if (i + 1 == args.size() || args[i + 1].empty()) {
      *error = arg + " needs a path";
      return false;
    }
    *target = args[++i];
  }
  return true;
}

std::string Usage() {
  return std::string("usage: qmxupdtmngr [--config PATH] [--state PATH]\n") +
         "  --config  INI file; [Socket] Path is the socket (default " +
         kDefaultConfigPath + ")\n" +
         "  --state   state file; the journal is kept beside it (default " +
         kDefaultStatePath + ")\n";
}

ServicePaths ResolvePaths(const CommandLine& command_line, std::string* note) {
  std::string config_path = RootedPath(command_line.config_path);
  SocketConfig config = ReadSocketConfig(config_path);
  std::vector<std::string> notes = config.errors;
  notes.insert(notes.end(), config.warnings.begin(), config.warnings.end());
  if (!config.pathGiven) {
    notes.push_back("no [Socket] Path in " + config_path + "; using the default socket");
  }
  note->clear();
  for (const std::string& line : notes) *note += (note->empty() ? "" : "; ") + line;
  ServicePaths paths;
  paths.socket = RootedPath(config.path);
  paths.state = RootedPath(command_line.state_path);
  paths.journal = DirName(paths.state) + "/journal.log";
  return paths;
}

}  // namespace service
}  // namespace qmx
