#include "runtime/trace_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "common/qmx_root.h"
#include "common/safe_files.h"

namespace qmx {

// The descriptor of one log path. A file that was removed or replaced under
// the same path is opened again and put under this descriptor, so a reader
// who deletes the log sees a fresh one, and threads that hold the
// descriptor write their next line into it.
struct OpenFile {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  // A write was cut short, so the file ends within a line.
  std::atomic<bool> midLine{false};
  ~OpenFile() {
    if (fd >= 0) close(fd);
  }
};

namespace {

// More distinct files than this (tests that each use a new QMX_ROOT) and the
// logs no thread holds are closed.
constexpr size_t kMaxOpenFiles = 32;

// A file name cannot leave the log folder, whatever the trace name.
std::string LogPath(const std::string& traceName) {
  std::string name = traceName.empty() ? "trace" : traceName;
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return RootedPath("/var/log/qmx/") + name + ".log";
}

// Says once per process that trace lines are being dropped, and why the
// first time: tracing never fails or blocks its caller, but a person
// should learn that the log is not being written.
void NoteDropped(const std::string& why) {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  WriteAll(STDERR_FILENO, "qmx: trace lines are dropped: " + why + "\n");
}

// The log at path, its folder made or refused by the rule for every file
// we write.
std::shared_ptr<OpenFile> Open(const std::string& path) {
  std::string error;
  int fd = -1;
  if (PrepareFolder(DirName(path), 0700, &error)) {
    fd = OpenForWriting(path, O_APPEND, &error);
  }
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) != 0) {
    error = path + ": cannot inspect: " + ErrorText(errno);
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    NoteDropped(error);
    return nullptr;
  }
  auto file = std::make_shared<OpenFile>();
  file->fd = fd;
  file->dev = st.st_dev;
  file->ino = st.st_ino;
  // A line cut short by this process or another leaves the file without its
  // last line break; the next line then starts on a line of its own.
  char last = '\n';
  file->midLine = st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
                  last != '\n';
  return file;
}

// The open logs of the process, one per path, shared by its threads.
class TraceFiles {
 public:
  // The file the path leads to now, opened again when it was removed or
  // replaced.
  std::shared_ptr<OpenFile> Get(const std::string& path);

 private:
  static bool Repoint(OpenFile* held, const OpenFile* fresh);

  std::mutex m_mutex;
  std::unordered_map<std::string, std::shared_ptr<OpenFile>> m_files;
};

std::shared_ptr<OpenFile> TraceFiles::Get(const std::string& path) {
  // Looked at under the lock: a thread that saw no file yet must not open a
  // second one while another thread's first lines are going into it, since
  // the new one would take a line being written for a cut one.
  std::lock_guard<std::mutex> lock(m_mutex);
  struct stat st;
  bool exists = lstat(path.c_str(), &st) == 0;
  auto it = m_files.find(path);
  if (it != m_files.end() && exists && it->second->dev == st.st_dev &&
      it->second->ino == st.st_ino) {
    return it->second;
  }
  std::shared_ptr<OpenFile> file = Open(path);
  if (file == nullptr) return nullptr;
  if (it != m_files.end() && Repoint(it->second.get(), file.get())) {
    return it->second;
  }
  if (m_files.size() >= kMaxOpenFiles) {
    // Only the cache holds these: no thread can reach them but through it.
    for (auto at = m_files.begin(); at != m_files.end();) {
      at = at->second.use_count() == 1 ? m_files.erase(at) : std::next(at);
    }
  }
  m_files[path] = file;
  return file;
}

// Puts fresh's file under held's descriptor. The file it replaces is closed
// as soon as the lines being written to it are done (the kernel holds it
// while a write() lasts), even while a thread that wrote to it stays idle;
// every line written after this goes to fresh's file. False, and nothing
// changed, when the descriptor could not be replaced: threads then move to
// fresh in their next second.
bool TraceFiles::Repoint(OpenFile* held, const OpenFile* fresh) {
  if (dup3(fresh->fd, held->fd, O_CLOEXEC) < 0) return false;
  held->dev = fresh->dev;
  held->ino = fresh->ino;
  held->midLine = fresh->midLine.load();
  return true;
}

TraceFiles& Files() {
  static TraceFiles* files = new TraceFiles();  // outlives static destructors
  return *files;
}

// Bumped when the host asks for its trace settings to be read again: every
// thread then asks for its log's path at its next line.
std::atomic<unsigned> g_pathEpoch{0};

// Writes the size bytes of text, one line or more, to file with one write():
// a partial append cannot be completed without interleaving. afterCut: text
// starts with the line break that ends a cut line.
void WriteLine(const std::string& traceName, const char* text, size_t size,
               bool afterCut, OpenFile* file) {
  ssize_t n;
  do {
    n = write(file->fd, text, size);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(size)) return;
  if (n > 0 || afterCut) file->midLine = true;
  NoteDropped(LogPath(traceName) + ": " +
              (n < 0 ? ErrorText(errno) : "the disk took only part of a line"));
}

// After a cut line the next one starts on a line of its own.
void WriteAfterCut(const std::string& traceName, const char* line,
                   size_t length, OpenFile* file) {
  std::string joined = "\n";
  joined.append(line, length);
  WriteLine(traceName, joined.data(), joined.size(), true, file);
}

}  // namespace

void ReaskTracePaths() { g_pathEpoch.fetch_add(1); }

void TraceLog::Append(const std::string& traceName, bool sameName,
                      time_t second, const char* line, size_t length) {
  unsigned epoch = g_pathEpoch.load(std::memory_order_relaxed);
  if (!sameName || second_ != second || epoch_ != epoch || file_ == nullptr) {
    file_ = Files().Get(LogPath(traceName));
    second_ = second;
    epoch_ = epoch;
    if (file_ == nullptr) return;
  }
  OpenFile* file = file_.get();
  // Looked at before it is taken: almost every line finds it clear.
  if (file->midLine.load(std::memory_order_relaxed) && file->midLine.exchange(false)) {
    WriteAfterCut(traceName, line, length, file);
  } else {
    WriteLine(traceName, line, length, false, file);
  }
}

}  // namespace qmx
