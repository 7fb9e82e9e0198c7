// The service's command line and the files it names: where the socket, the
// state file and the journal live.

#ifndef QMX_SERVICE_OPTIONS_H_
#define QMX_SERVICE_OPTIONS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "service/server.h"

namespace qmx {
namespace service {

constexpr char kDefaultConfigPath[] = "/opt/veltrax/qmx/um/SocketConfig.ini";
constexpr char kDefaultStatePath[] = "/var/lib/qmxupdtmngr/state";
constexpr size_t kMostMaxConnections = 65536;

// Paths as given, before QMX_ROOT is applied.
struct CommandLine {
  std::string config_path = kDefaultConfigPath;
  std::string state_path = kDefaultStatePath;
  size_t max_connections = kDefaultMaxConnections;
  bool help = false;
};

// Parses "[--config PATH] [--state PATH] [--max-connections N] [--help]";
// false with *error on anything else.
bool ParseCommandLine(const std::vector<std::string>& args,
                      CommandLine* command_line, std::string* error);

std::string Usage();

// The files the service uses, QMX_ROOT applied.
struct ServicePaths {
  std::string socket;
  std::string state;
  std::string journal;  // beside the state file
};

// Reads [Socket] Path from the config file as the transport does
// (common/socket_config.h); a missing file or key means the default socket.
// *note holds what the log should say about the file: that the default
// socket is used only when the service binds it (!socket_handed_over),
// since the file may well not be there yet when a handed-over socket is.
ServicePaths ResolvePaths(const CommandLine& command_line,
                          bool socket_handed_over, std::string* note);

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_OPTIONS_H_
