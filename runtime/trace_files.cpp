#include "runtime/trace_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "common/qmx_root.h"

namespace qmx {
namespace {

// More distinct files than this (tests that each use a new QMX_ROOT) and the
// cache starts over; writers still holding a file keep it open until done.
constexpr size_t kMaxOpenFiles = 32;

// One open log file. A file that was removed or replaced under the same
// path is reopened, so a reader who deletes the log sees a fresh one.
struct OpenFile {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  ~OpenFile() {
    if (fd >= 0) close(fd);
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
  return file;
}

// The open logs of the process, one per path, shared by its threads.
class TraceFiles {
 public:
  // The file the path leads to now, opened again when it was removed or
  // replaced.
  std::shared_ptr<OpenFile> Get(const std::string& path);

 private:
  std::mutex m_mutex;
  std::unordered_map<std::string, std::shared_ptr<OpenFile>> m_files;
};

std::shared_ptr<OpenFile> TraceFiles::Get(const std::string& path) {
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_files.find(path);
  if (it != m_files.end() && exists && it->second->dev == st.st_dev &&
      it->second->ino == st.st_ino) {
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
// go straight to this file; the path is asked again only in a new second,
// since asking costs as much as writing the line, and a reader who deletes
// the log can wait a second for the fresh one.
struct LastLog {
  std::string traceName;
  std::string root;  // QMX_ROOT as it was then
  time_t second = -1;
  std::shared_ptr<OpenFile> file;
};

// The descriptor of traceName's log, or -1; it stays open at least until
// the thread's next line.
int LogFd(const std::string& traceName, time_t second) {
  thread_local LastLog last;
  const char* root = std::getenv("QMX_ROOT");
  if (root == nullptr) root = "";
  if (last.file != nullptr && last.second == second &&
      last.traceName == traceName && last.root == root) {
    return last.file->fd;
  }
  last.file = Files().Get(LogPath(traceName));
  last.traceName = traceName;
  last.root = root;
  last.second = second;
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

void AppendTraceLine(const std::string& traceName, time_t second,
                     const std::string& line) {
  int fd = LogFd(traceName, second);
  if (fd < 0) return;
  // One write: a partial append cannot be completed without interleaving.
  while (write(fd, line.data(), line.size()) < 0 && errno == EINTR) {
  }
}

}  // namespace qmx
