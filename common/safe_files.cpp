#include "common/safe_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qmx {
namespace {

bool Fail(const std::string& what, const std::string& path, int error,
          std::string* message) {
  *message = path + ": " + what + ": " + ErrorText(error);
  return false;
}

std::string SizeText(size_t bytes) {
  if (bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

bool OthersMayWrite(const struct stat& st) {
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Why the folder cannot be trusted; "" when it can.
std::string DistrustFolder(const std::string& dir, const struct stat& st) {
  if (!S_ISDIR(st.st_mode)) return dir + " is not a folder";
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    return "folder " + dir + " belongs to uid " + std::to_string(st.st_uid) +
           ", neither root nor this user";
  }
  if (OthersMayWrite(st) && (st.st_mode & S_ISVTX) == 0) {
    return "folder " + dir + " can be written by others without the sticky bit (mode " +
           ModeText(st.st_mode) + ")";
  }
  return "";
}

// Why the file may not be used; "" when it may. A file we write, or read
// privately, must be ours alone: no symbolic link, and no second name by
// which another file (a hard link made elsewhere) would be written or shown
// through it. Files we only read may be root's: root may write them anyway.
std::string DistrustFile(const struct stat& st, bool ours, bool read_only) {
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  if (st.st_uid != geteuid() && (!read_only || st.st_uid != 0)) {
    return "belongs to uid " + std::to_string(st.st_uid) +
           (read_only ? ", neither root nor this user" : ", not to this user");
  }
  if (OthersMayWrite(st)) {
    return "can be written by group or others (mode " + ModeText(st.st_mode) +
           ")";
  }
  if (ours && st.st_nlink > 1) {
    return "has " + std::to_string(st.st_nlink) + " hard links";
  }
  return "";
}

bool Refuse(const std::string& path, const std::string& why,
            std::string* error) {
  *error = path + ": refused: " + why;
  return false;
}

// Why dir, symbolic links resolved, or a folder above it cannot be
// trusted; "" when all of them can.
std::string DistrustFolders(const std::string& dir) {
  char* real = realpath(dir.c_str(), nullptr);
  if (real == nullptr) return "cannot resolve " + dir + ": " + ErrorText(errno);
  std::string path = real;
  std::free(real);
  for (;;) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      return "cannot inspect " + path + ": " + ErrorText(errno);
    }
    std::string why = DistrustFolder(path, st);
    if (!why.empty() || path == "/") return why;
    path = DirName(path);
  }
}

bool CheckFolders(const std::string& dir, std::string* error) {
  std::string why = DistrustFolders(dir);
  return why.empty() || Refuse(dir, why, error);
}

// -1, with errno EPERM and *error saying why: the file is there but may
// not be read.
int ReadRefused(const std::string& path, const std::string& why,
                std::string* error) {
  Refuse(path, why, error);
  errno = EPERM;
  return -1;
}

// The descriptor back in blocking mode; a FIFO was refused before that
// could matter.
bool ClearNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// A failed open() as the message names it: a link under O_NOFOLLOW, a FIFO
// nobody reads and a folder are refusals; anything else is the system's.
bool OpenFailed(const std::string& path, int error, std::string* message) {
  if (error == ELOOP) return Refuse(path, "is a symbolic link", message);
  if (error == ENXIO || error == EISDIR) {
    return Refuse(path, "is not a regular file", message);
  }
  return Fail("cannot open", path, error, message);
}

bool SyncFolder(const std::string& dir, std::string* error) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail("cannot open", dir, errno, error);
  bool ok = (g_sync_folder_for_tests ? g_sync_folder_for_tests : fsync)(fd) == 0;
  int saved = errno;
  close(fd);
  return ok ? true : Fail("cannot sync", dir, saved, error);
}

// True when dir, a folder of this user's, holds nothing but our own regular
// files (our logs, our state): one that can be tightened without taking
// anything from anyone, where a shared one (/tmp, /var/lib) never is.
bool HoldsOnlyOurFiles(const std::string& dir, const struct stat& st) {
  if (st.st_uid != geteuid() || (st.st_mode & S_ISVTX) != 0) return false;
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return false;
  bool ours = true;
  while (struct dirent* entry = ours ? readdir(folder) : nullptr) {
    const std::string name = entry->d_name;
    struct stat file;
    ours = name == "." || name == ".." ||
           (fstatat(dirfd(folder), entry->d_name, &file, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(file.st_mode) && file.st_uid == geteuid());
  }
  closedir(folder);
  return ours;
}

std::string TemporaryPrefix(const std::string& path) { return path + ".tmp-"; }

}  // namespace

std::string ModeText(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

int (*g_sync_folder_for_tests)(int fd) = nullptr;

std::string ErrorText(int error) { return std::strerror(error); }

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string DistrustFolderChain(const std::string& dir) {
  return DistrustFolders(dir);
}

int FillClosedStandardDescriptors() {
  int closed = 0;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    closed |= 1 << fd;
    // The lowest free number is this one: the ones below it are open.
    if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) {
      return -1;
    }
  }
  return closed;
}

bool PrepareFolder(const std::string& dir, mode_t mode, std::string* error) {
  // Nothing is made below a folder that is not trusted.
  std::vector<std::string> missing;
  std::string existing = dir;
  struct stat st;
  while (stat(existing.c_str(), &st) != 0) {
    if (errno != ENOENT) return Fail("cannot inspect", existing, errno, error);
    missing.push_back(existing);
    existing = DirName(existing);
  }
  if (!CheckFolders(existing, error)) return false;
  if (missing.empty() && (st.st_mode & 07777 & ~mode) != 0 && HoldsOnlyOurFiles(dir, st) &&
      chmod(dir.c_str(), st.st_mode & 07777 & mode) != 0) {
    return Fail("cannot tighten the folder", dir, errno, error);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    // Another process may make the same folder at the same moment.
    if (mkdir(it->c_str(), *it == dir ? mode : 0755) != 0 && errno != EEXIST) {
      return Fail("cannot make the folder", *it, errno, error);
    }
  }
  return missing.empty() || CheckFolders(dir, error);
}

int OpenForWriting(const std::string& path, int flags, std::string* error) {
  int fd = open(path.c_str(),
                O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags,
                0600);
  if (fd < 0) {
    OpenFailed(path, errno, error);
    return -1;
  }
  struct stat st;
  std::string why = fstat(fd, &st) != 0 ? ErrorText(errno) : DistrustFile(st, true, false);
  if (why.empty() && (st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
    why = "can be read by others (mode " + ModeText(st.st_mode) + ") and cannot be made 0600: " +
          ErrorText(errno);
  }
  if (why.empty() && !ClearNonBlocking(fd)) why = ErrorText(errno);
  if (!why.empty()) {
    close(fd);
    Refuse(path, why, error);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool AppendWhole(int fd, const std::string& data, const std::string& path,
                 std::string* error) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail("cannot inspect", path, errno, error);
  ssize_t n;
  do {
    n = write(fd, data.data(), data.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail("cannot append", path, errno, error);
  if (static_cast<size_t>(n) == data.size()) return true;
  *error = path + ": cannot append: only " + std::to_string(n) + " of " +
           std::to_string(data.size()) + " bytes written (disk full?)";
  if (ftruncate(fd, st.st_size) != 0) {
    *error += ", and the partial line could not be taken back: " +
              ErrorText(errno);
  }
  return false;
}

bool ReplaceFileDurably(const std::string& path, const std::string& content,
                        std::string* error, const std::string& temporary_of) {
  std::string temporary = TemporaryPrefix(temporary_of.empty() ? path : temporary_of) + "XXXXXX";
  int fd = mkostemp(&temporary[0], O_CLOEXEC);  // O_EXCL, 0600
  if (fd < 0) return Fail("cannot create a temporary file beside it", path, errno, error);
  bool ok = WriteAll(fd, content) && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    return Fail("cannot write", temporary, saved, error);
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    saved = errno;
    unlink(temporary.c_str());
    return Fail("cannot replace", path, saved, error);
  }
  // The new file is in place now: a failed sync only leaves its survival of
  // a power loss uncertain.
  error->clear();
  SyncFolder(DirName(path), error);
  return true;
}

int LockFile(const std::string& path, std::string* error) {
  int fd = OpenForWriting(path, 0, error);
  if (fd < 0) {
    errno = EPERM;
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  int saved = errno;
  close(fd);
  if (saved == EWOULDBLOCK) {
    *error = path + ": held by another process";
  } else {
    Fail("cannot lock", path, saved, error);
  }
  errno = saved;
  return -1;
}

void RemoveStaleTemporaries(const std::string& path) {
  const std::string dir = DirName(path);
  const std::string prefix = TemporaryPrefix(path).substr(dir.size() + 1);
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return;
  while (struct dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    struct stat st;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0 ||
        fstatat(dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !DistrustFile(st, true, false).empty()) {
      continue;
    }
    unlinkat(dirfd(folder), entry->d_name, 0);
  }
  closedir(folder);
}

int OpenForReading(const std::string& path, ReadRule rule, std::string* error) {
  const bool ours = rule == ReadRule::kPrivate;
  struct stat before;
  // Looked at before opening, so that a device is never opened at all.
  if ((ours ? lstat(path.c_str(), &before) : stat(path.c_str(), &before)) != 0) {
    int saved = errno;
    Fail("cannot read", path, saved, error);
    errno = saved;
    return -1;
  }
  std::string why = DistrustFile(before, ours, true);
  if (!why.empty()) return ReadRefused(path, why, error);
  char* real = realpath(path.c_str(), nullptr);
  why = real == nullptr ? ErrorText(errno) : DistrustFolders(DirName(real));
  std::free(real);
  if (!why.empty()) return ReadRefused(path, why, error);
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (ours ? O_NOFOLLOW : 0));
  if (fd < 0) {
    OpenFailed(path, errno, error);
    errno = EPERM;
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_dev != before.st_dev ||
      st.st_ino != before.st_ino || !ClearNonBlocking(fd)) {
    close(fd);
    return ReadRefused(path, "changed while being opened", error);
  }
  return fd;
}

int ReadFileBounded(const std::string& path, size_t limit, ReadRule rule,
                    std::string* content, std::string* error) {
  content->clear();
  int fd = OpenForReading(path, rule, error);
  if (fd < 0) return errno;
  int result = 0;
  std::vector<char> buffer(65536);
  for (;;) {
    ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = errno;
      Fail("cannot read", path, result, error);
    }
    if (n <= 0) break;
    content->append(buffer.data(), static_cast<size_t>(n));
    if (content->size() > limit) {
      result = EFBIG;
      *error = path + ": larger than the limit of " + SizeText(limit);
      break;
    }
  }
  close(fd);
  if (result != 0) content->clear();
  return result;
}

}  // namespace qmx
