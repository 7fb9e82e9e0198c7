// SocketConfig.ini: where the update service listens and how long a call
// waits for it. The transport and the service read it by the same rules,
// so that both always agree on the socket.

#ifndef QMX_COMMON_SOCKET_CONFIG_H_
#define QMX_COMMON_SOCKET_CONFIG_H_

#include <sys/types.h>

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

// Who may be trusted to serve the socket, whose requests carry passwords:
// root, or the owner of the socket's folder. That folder must be trusted
// as every folder we read from is (safe_files.h), save that the service's
// own user may own it (systemd hands a dynamic user its runtime folder)
// when the folder above lets no one else make or replace it there. The
// path is judged as written: a symbolic link on it is followed only when
// neither it nor the folder holding it can be changed by anyone but root,
// this user or that owner.
struct SocketFolder {
  std::string dir;       // the socket's folder, symbolic links resolved
  uid_t owner = 0;
  std::string distrust;  // why no server there can be trusted; "" when one can
  // The folder as judged, to see whether the path leads elsewhere since.
  dev_t dev = 0;
  ino_t ino = 0;
  mode_t mode = 0;
};

// Judges the folder of the socket at path (a few system calls per folder up
// to "/": a caller on every call keeps what it found, and judges again when
// SocketFolderChanged).
SocketFolder JudgeSocketFolder(const std::string& socketPath);

// True when the socket's folder, by its path as written, is not the folder
// judged, or its owner or mode changed (one stat()).
bool SocketFolderChanged(const SocketFolder& folder, const std::string& socketPath);

// Why uid, the server's or the socket file's owner, may not be trusted
// with the socket in folder; "" when it may.
std::string DistrustServer(const SocketFolder& folder, uid_t uid);

}  // namespace qmx

#endif  // QMX_COMMON_SOCKET_CONFIG_H_
