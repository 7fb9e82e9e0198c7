// SocketConfig.ini: where the update service listens and how long a call
// waits for it. The transport and the service read it by the same rules,
// so that both always agree on the socket.

#ifndef QMX_COMMON_SOCKET_CONFIG_H_
#define QMX_COMMON_SOCKET_CONFIG_H_

#include <cstddef>
#include <string>
#include <vector>

namespace qmx {

constexpr char kSocketConfigFile[] = "/opt/veltrax/qmx/um/SocketConfig.ini";
constexpr char kDefaultSocketPath[] = "/var/run/qmx/qmxupdtmngr.sock";
// A configuration is a few lines; anything larger is not one.
constexpr size_t kSocketConfigLimit = 64 * 1024;

struct SocketConfig {
  std::string path = kDefaultSocketPath;  // absolute, before QMX_ROOT
  int connectTimeoutMs = 5000;
  int sendTimeoutMs = 5000;
  int receiveTimeoutMs = 600000;
  bool fileFound = false;  // the file exists (it may still have been refused)
  bool pathGiven = false;  // the file has a Path (a relative one is an error)
  // Lines for a person, each naming the file: errors (a value or the file
  // itself could not be used, so the default stands) and warnings.
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
};

// The settings in text, the content of file. A relative Path or a malformed
// time-out is an error and the default is used; keys outside a [Socket]
// section are ignored with a warning.
SocketConfig ParseSocketConfig(const std::string& file, const std::string& text);

// Reads file as a shared file of at most kSocketConfigLimit bytes. A
// missing file gives the defaults quietly; one that cannot be read or is
// refused gives the defaults and an error.
SocketConfig ReadSocketConfig(const std::string& file);

}  // namespace qmx

#endif  // QMX_COMMON_SOCKET_CONFIG_H_
