#include "runtime/trace_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "common/qmx_root.h"

namespace qmx {
namespace {

// More distinct files than this (tests that each use a new QMX_ROOT) and the
// cache starts over; writers still holding a file keep it open until done.
constexpr size_t kMaxOpenFiles = 32;

// How long a log is written without asking whether it was removed or
// replaced: asking costs as much as writing the line, and a reader who
// deletes the log can wait a second for the fresh one.
constexpr std::chrono::milliseconds kRecheckInterval{1000};

using Clock = std::chrono::steady_clock;

// One open log file. A file that was removed or replaced under the same
// path is reopened, so a reader who deletes the log sees a fresh one.
struct OpenFile {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  std::atomic<Clock::rep> checked{0};  // when the path last led here
  ~OpenFile() {
    if (fd >= 0) close(fd);
  }
  bool CheckedSince(Clock::rep now) const {
    return now - checked.load(std::memory_order_relaxed) < RecheckTicks();
  }
  static Clock::rep RecheckTicks() {
    return std::chrono::duration_cast<Clock::duration>(kRecheckInterval)
        .count();
  }
};

// A file name cannot leave the log folder, whatever the trace name.
std::string LogPath(const std::string& traceName) {
  std::string name = traceName.empty() ? "trace" : traceName;
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return RootedPath("/var/log/qmx/") + name + ".log";
}

void MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0700);
  }
}

std::shared_ptr<OpenFile> Open(const std::string& path) {
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  int fd = open(path.c_str(), flags, 0600);
  if (fd < 0 && errno == ENOENT) {
    MakeFolders(path);
    fd = open(path.c_str(), flags, 0600);
  }
  if (fd < 0) return nullptr;
  auto file = std::make_shared<OpenFile>();
  file->fd = fd;
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  // Traces carry passwords: a file someone else made readable is tightened.
  if ((st.st_mode & 077) != 0) fchmod(fd, 0600);
  file->dev = st.st_dev;
  file->ino = st.st_ino;
  file->checked = Clock::now().time_since_epoch().count();
  return file;
}

class TraceFiles {
 public:
  std::shared_ptr<OpenFile> Get(const std::string& path);

 private:
  std::mutex m_mutex;
  std::unordered_map<std::string, std::shared_ptr<OpenFile>> m_files;
};

std::shared_ptr<OpenFile> TraceFiles::Get(const std::string& path) {
  const Clock::rep now = Clock::now().time_since_epoch().count();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_files.find(path);
    if (it != m_files.end() && it->second->CheckedSince(now)) {
      return it->second;
    }
  }
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_files.find(path);
  if (it != m_files.end() && exists && it->second->dev == st.st_dev &&
      it->second->ino == st.st_ino) {
    it->second->checked = now;
    return it->second;
  }
  std::shared_ptr<OpenFile> file = Open(path);
  if (file == nullptr) return nullptr;
  if (m_files.size() >= kMaxOpenFiles) m_files.clear();
  m_files[path] = file;
  return file;
}

TraceFiles& Files() {
  static TraceFiles* files = new TraceFiles();  // outlives static destructors
  return *files;
}

// The log a thread wrote its last line to and what led there. A thread
// writes line after line of one trace name under one root, so most lines
// find their file here without building its path or taking the lock.
struct LastLog {
  std::string traceName;
  std::string root;  // QMX_ROOT as it was then
  std::shared_ptr<OpenFile> file;
};

// The descriptor of traceName's log, or -1; it stays open at least until
// the thread's next line.
int LogFd(const std::string& traceName) {
  thread_local LastLog last;
  const char* root = std::getenv("QMX_ROOT");
  if (root == nullptr) root = "";
  const Clock::rep now = Clock::now().time_since_epoch().count();
  if (last.file != nullptr && last.file->CheckedSince(now) &&
      last.traceName == traceName && last.root == root) {
    return last.file->fd;
  }
  last.file = Files().Get(LogPath(traceName));
  last.traceName = traceName;
  last.root = root;
  return last.file != nullptr ? last.file->fd : -1;
}

}  // namespace

void WriteFully(int fd, const std::string& line) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void AppendTraceLine(const std::string& traceName, const std::string& line) {
  int fd = LogFd(traceName);
  if (fd < 0) return;
  // One write: a partial append cannot be completed without interleaving.
  while (write(fd, line.data(), line.size()) < 0 && errno == EINTR) {
  }
}

}  // namespace qmx
