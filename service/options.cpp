#include "service/options.h"

#include "common/ini_file.h"
#include "common/qmx_root.h"
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
  IniFile config;
  std::string socket = kDefaultSocketPath;
  const std::string* configured = nullptr;
  if (!config.Load(config_path)) {
    *note = "no config " + config_path + "; using the default socket";
  } else if ((configured = config.Find("Socket", "Path")) == nullptr ||
             configured->empty()) {
    *note = "no [Socket] Path in " + config_path + "; using the default socket";
  } else {
    socket = *configured;
    note->clear();
  }
  ServicePaths paths;
  paths.socket = RootedPath(socket);
  paths.state = RootedPath(command_line.state_path);
  paths.journal = DirName(paths.state) + "/journal.log";
  return paths;
}

}  // namespace service
}  // namespace qmx
