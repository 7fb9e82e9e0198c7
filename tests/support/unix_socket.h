// Plain Unix-domain stream sockets for tests that play one end of the
// service's wire protocol themselves: one request per connection, the
// client shuts down its writing, the service answers and closes.

#ifndef QMX_TESTS_SUPPORT_UNIX_SOCKET_H_
#define QMX_TESTS_SUPPORT_UNIX_SOCKET_H_

#include <sys/types.h>

#include <string>

namespace qmx {
namespace support {

// A connected socket, or -1.
int ConnectUnix(const std::string& path);

// A socket listening on path (a file left there is replaced), or -1.
int ListenUnix(const std::string& path);
// The same as a stranger of uid would make it where others may: the socket
// file (mode 0666) and the listener, as a client sees it, are uid's.
int ListenUnixAs(const std::string& path, uid_t uid);

// Writes all of data, retrying short writes; false when the peer is gone.
bool SendAll(int fd, const std::string& data);

// Everything until the peer closes (or the connection fails).
std::string ReadToEnd(int fd);

// A request message: the header for kind with "0000" as result code, then
// body.
std::string Request(const std::string& kind, const std::string& body = "");

// One request as the transport sends it; the whole reply, "" when the
// service closed without one or could not be reached.
std::string Exchange(const std::string& path, const std::string& request);

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_UNIX_SOCKET_H_
