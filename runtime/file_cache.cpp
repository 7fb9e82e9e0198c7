#include "runtime/file_cache.h"

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

}  // namespace qmx
