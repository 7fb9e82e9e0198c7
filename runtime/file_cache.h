// What was read from a file, read again whenever the file may have changed,
// so that a caller reading it on every call pays for one stat() instead of
// a read and a parse, and never sees a stale copy.
//
// A file is known by its device, inode, size and modification time. A
// rewrite in place that keeps the size, made within the file system's
// timestamp granularity of the read, would keep all four: a copy read
// less than kSettleSeconds after the file's modification time is therefore
// not trusted and the file is read again on the next Get.

#ifndef QMX_RUNTIME_FILE_CACHE_H_
#define QMX_RUNTIME_FILE_CACHE_H_

#include <sys/stat.h>
#include <time.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace qmx {

struct FileStamp {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {0, 0};

  bool operator==(const FileStamp& other) const;
};

// Coarser than any file system's timestamp granularity that we run on.
constexpr time_t kSettleSeconds = 2;

// The stamp of the file at path; false when it cannot be examined.
bool StampOf(const std::string& path, FileStamp* stamp);

// True when a copy read at read_time may differ from a later version of the
// file with the same stamp.
bool MayChangeUnseen(const FileStamp& stamp, const struct timespec& read_time);

template <typename Parsed>
class FileCache {
 public:
  // Reads the file at path (through common/safe_files.h), and says in what
  // it gives when the file is missing or cannot be read.
  using Reader = std::function<Parsed(const std::string& path)>;

  explicit FileCache(Reader read) : m_read(std::move(read)) {}

  // What the reader gives for the file at path as it is now; a missing
  // file is not cached.
  std::shared_ptr<const Parsed> Get(const std::string& path);

 private:
  bool Current(const std::string& path, const FileStamp& stamp) const;

  const Reader m_read;
  std::mutex m_mutex;
  std::string m_path;  // the one file cached; another path replaces it
  FileStamp m_stamp;
  struct timespec m_readTime = {0, 0};
  std::shared_ptr<const Parsed> m_parsed;
};

template <typename Parsed>
bool FileCache<Parsed>::Current(const std::string& path,
                                const FileStamp& stamp) const {
  return m_parsed != nullptr && path == m_path && stamp == m_stamp &&
         !MayChangeUnseen(m_stamp, m_readTime);
}

template <typename Parsed>
std::shared_ptr<const Parsed> FileCache<Parsed>::Get(const std::string& path) {
  FileStamp stamp;
  if (!StampOf(path, &stamp)) return std::make_shared<const Parsed>(m_read(path));
  std::lock_guard<std::mutex> lock(m_mutex);
  if (Current(path, stamp)) return m_parsed;
  // Read after the stamp: a change in between shows in the next stamp.
  clock_gettime(CLOCK_REALTIME, &m_readTime);
  m_parsed = std::make_shared<const Parsed>(m_read(path));
  m_path = path;
  m_stamp = stamp;
  return m_parsed;
}

}  // namespace qmx

#endif  // QMX_RUNTIME_FILE_CACHE_H_
