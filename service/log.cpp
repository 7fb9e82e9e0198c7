#include "service/log.h"

#include <unistd.h>

#include "service/files.h"

namespace qmx {
namespace service {

void Log(const std::string& message) {
  WriteAll(STDERR_FILENO, "qmxupdtmngr: " + message + "\n");
}

}  // namespace service
}  // namespace qmx
