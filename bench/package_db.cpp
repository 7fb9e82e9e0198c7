#include "bench/package_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace qmx {
namespace bench {
namespace {

// One stanza as dpkg writes it, a long description padding it to ~1 KiB.
std::string Stanza(const std::string& name, const std::string& version) {
  std::string stanza = "Package: " + name +
                       "\n"
                       "Status: install ok installed\n"
                       "Priority: optional\n"
                       "Section: admin\n"
                       "Installed-Size: 1234\n"
                       "Maintainer: Packaging Team <packages@example.invalid>\n"
                       "Architecture: i386\n"
                       "Version: " + version +
                       "\n"
                       "Depends: libc6 (>= 2.36), libstdc++6 (>= 12), "
                       "zlib1g (>= 1:1.2.0)\n"
                       "Description: component " + name + "\n";
  for (int line = 0; line < 12; ++line) {
    stanza += " This continuation line pads the description as real ones "
              "do.\n";
  }
  return stanza + "\n";
}

}  // namespace

std::string MakeStatusDatabase(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i == count * 9 / 10) {
      text += Stanza("qmxupdtmngr", "42.0-1");
    } else {
      text += Stanza("pkg-" + std::to_string(i), "1." + std::to_string(i));
    }
  }
  return text;
}

void AgeFile(const std::string& path, int seconds_ago) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct timespec times[2] = {{0, UTIME_OMIT}, {now.tv_sec - seconds_ago, 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    throw std::runtime_error("cannot age " + path + ": " +
                             std::strerror(errno));
  }
}

}  // namespace bench
}  // namespace qmx
