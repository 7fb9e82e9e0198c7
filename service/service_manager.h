// What a service manager hands the service and expects from it, by the
// conventions systemd set: a listening socket passed as descriptor 3
// (LISTEN_PID, LISTEN_FDS), and a readiness datagram to NOTIFY_SOCKET.
// Without those variables the service binds its own socket and tells
// nobody.

#ifndef QMX_SERVICE_SERVICE_MANAGER_H_
#define QMX_SERVICE_SERVICE_MANAGER_H_

#include <string>

namespace qmx {
namespace service {

// True when LISTEN_PID names this process and LISTEN_FDS is at least 1: a
// socket is handed over, and the configured path is only a cross-check.
bool SocketHandedOver();

// The first descriptor passed, when LISTEN_PID names this process and
// LISTEN_FDS is at least 1; else -1. *note tells what was ignored (variables
// meant for another process, more than one socket). The variables are
// removed, so that nothing started later takes them for its own.
int TakeListeningSocket(std::string* note);

// Sends state (such as "READY=1") as one datagram to $NOTIFY_SOCKET, a path
// or "@" and an abstract name. True when it went out or NOTIFY_SOCKET is
// unset; false with *error otherwise.
bool NotifyServiceManager(const std::string& state, std::string* error);

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_SERVICE_MANAGER_H_
