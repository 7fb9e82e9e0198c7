#include "service/options.h"

#include "common/qmx_root.h"
#include "common/socket_config.h"
#include "common/safe_files.h"
#include "service/settings.h"

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
    const bool count = arg == "--max-connections";
    std::string* target = arg == "--config"  ? &command_line->config_path
                          : arg == "--state" ? &command_line->state_path
                                             : nullptr;
    if (target == nullptr && !count) {
      *error = "unknown argument \"" + arg + "\"";
      return false;
    }
    if (i + 1 == args.size() || args[i + 1].empty()) {
      *error = arg + (count ? " needs a number" : " needs a path");
      return false;
    }
    const std::string& value = args[++i];
    if (!count) {
      *target = value;
      continue;
    }
    int32_t number = 0;
    if (!ParseInt32(value, &number) || number < 1 ||
        static_cast<size_t>(number) > kMostMaxConnections) {
      *error = "--max-connections needs a number from 1 to " +
               std::to_string(kMostMaxConnections) + ", not \"" + value + "\"";
      return false;
    }
    command_line->max_connections = static_cast<size_t>(number);
  }
  return true;
}

std::string Usage() {
  const std::string config = kDefaultConfigPath;
  const std::string state = kDefaultStatePath;
  const std::string socket = kDefaultSocketPath;
  return "usage: qmxupdtmngr [--config PATH] [--state PATH] [--max-connections N]\n"
         "       qmxupdtmngr --help\n"
         "\n"
         "The stand-in update service: answers the update manager provider's\n"
         "requests on a Unix socket, keeps the schedules it is given in a\n"
         "state file, and journals the downloads, updates, rollbacks and\n"
         "reboots it is asked for instead of performing them. It runs in the\n"
         "foreground and logs to standard error.\n"
         "\n"
         "Options:\n"
         "  --config PATH  socket configuration; its [Socket] Path is the\n"
         "                 socket (default " + config + ";\n"
         "                 without the file or key: " + socket + ")\n"
         "  --state PATH   state file (default " + state + ");\n"
         "                 the journal is journal.log in the same folder\n"
         "  --max-connections N\n"
         "                 clients held at once (1 to " + std::to_string(kMostMaxConnections) +
         ", default " + std::to_string(kDefaultMaxConnections) + ");\n"
         "                 more wait in the socket's backlog\n"
         "  -h, --help     print this help and exit\n"
         "\n"
         "Environment:\n"
         "  QMX_ROOT       an absolute folder put before every absolute path\n"
         "                 above, for tests and demos\n"
         "  LISTEN_PID, LISTEN_FDS\n"
         "                 a listening socket handed over as descriptor 3\n"
         "                 (socket activation): served instead of binding the\n"
         "                 configured path, and left in place at exit\n"
         "  NOTIFY_SOCKET  where \"READY=1\" is sent once connections are\n"
         "                 accepted (\"@\" starts an abstract name)\n"
         "\n"
         "Files:\n"
         "  the socket     mode 0600; only root and the user the service runs\n"
         "                 as may connect. Its folder is made 0755, a socket\n"
         "                 left by a dead instance is replaced.\n"
         "  the state file mode 0600, its folder 0700; root's own will do. A\n"
         "                 file with bad lines is copied to <state>.corrupt-<time>,\n"
         "                 each bad line logged, the good ones kept; one the\n"
         "                 service cannot use at all is renamed so and the\n"
         "                 defaults apply. Files of older and newer versions\n"
         "                 are read; keys of a newer one are kept.\n"
         "  <state>.lock   locked while the service runs: a second instance\n"
         "                 on the same state exits at once\n"
         "  journal.log    mode 0600, one line per action asked for\n"
         "\n"
         "Clients: one request per connection. A client that has not sent a\n"
         "whole request 10 s after connecting is closed without a reply.\n"
         "At --max-connections, or with " + std::to_string(kDescriptorReserve) +
         " descriptors left (kept for the service's own\n"
         "files), no more are taken until one ends.\n"
         "\n"
         "Signals: SIGTERM or SIGINT stops the service: clients that have\n"
         "not sent a whole request are closed, the others answered, the\n"
         "socket it bound removed. SIGHUP, SIGUSR1, SIGUSR2 and SIGALRM are\n"
         "ignored.\n"
         "\n"
         "Exit status:\n"
         "  0  stopped by SIGTERM or SIGINT, or help printed\n"
         "  1  could not start: another instance listens on the socket or\n"
         "     holds the state's lock, the\n"
         "     socket path holds something else, a folder cannot be made, an\n"
         "     unusable state file cannot be set aside, a socket handed over\n"
         "     is not a listening Unix socket, or QMX_ROOT is not absolute;\n"
         "     or the help could not be written\n"
         "  2  bad command line\n";
}

ServicePaths ResolvePaths(const CommandLine& command_line,
                          bool socket_handed_over, std::string* note) {
  std::string config_path = RootedPath(command_line.config_path);
  SocketConfig config = ReadSocketConfig(config_path);
  std::vector<std::string> notes = config.errors;
  notes.insert(notes.end(), config.warnings.begin(), config.warnings.end());
  if (!config.pathGiven && !socket_handed_over) {
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
