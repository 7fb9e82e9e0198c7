// QMX_ROOT: an optional prefix put before every absolute path that the host
// runtime and the update service read or write, so that a demo or a test can
// run whole inside a temporary folder. Unset or empty means the real file
// system.

#ifndef QMX_COMMON_QMX_ROOT_H_
#define QMX_COMMON_QMX_ROOT_H_

#include <string>

namespace qmx {

// path under $QMX_ROOT when path is absolute; relative paths are returned as
// they are.
std::string RootedPath(const std::string& path);

// False, with a message naming QMX_ROOT, when it is set to a relative path:
// each process would put its files under its own working folder. A program
// checks this before it makes or opens anything.
bool CheckQmxRoot(std::string* error);

}  // namespace qmx

#endif  // QMX_COMMON_QMX_ROOT_H_
