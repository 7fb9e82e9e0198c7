#include "runtime/file_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qmx {

bool FileStamp::operator==(const FileStamp& other) const {
  return dev == other.dev && ino == other.ino && size == other.size &&
         mtime.tv_sec == other.mtime.tv_sec &&
         mtime.tv_nsec == other.mtime.tv_nsec;
}

bool StampOf(const std::string& path, FileStamp* stamp) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  stamp->dev = st.st_dev;
  stamp->ino = st.st_ino;
  stamp->size = st.st_size;
  stamp->mtime = st.st_mtim;
  return true;
}

bool MayChangeUnseen(const FileStamp& stamp, const struct timespec& read_time) {
  return stamp.mtime.tv_sec + kSettleSeconds >= read_time.tv_sec;
}

bool ReadFileText(const std::string& path, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text->clear();
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return n == 0;
    }
    text->append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace qmx
