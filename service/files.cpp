#include "service/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qmx {
namespace service {
namespace {

bool Fail(const std::string& what, const std::string& path, int error,
          std::string* message) {
  *message = what + " " + path + ": " + ErrorText(error);
  return false;
}

bool SyncFolder(const std::string& dir, std::string* error) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail("cannot open", dir, errno, error);
  bool ok = fsync(fd) == 0;
  int saved = errno;
  close(fd);
  return ok ? true : Fail("cannot sync", dir, saved, error);
}

bool WriteAndSync(const std::string& path, const std::string& content,
                  mode_t mode, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return Fail("cannot create", path, errno, error);
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, content) && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  return ok ? true : Fail("cannot write", path, saved, error);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string ErrorText(int error) { return std::strerror(error); }

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool MakeDirs(const std::string& dir, mode_t mode, std::string* error) {
  struct stat info;
  if (stat(dir.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return true;
    return Fail("not a folder:", dir, ENOTDIR, error);
  }
  std::string parent = DirName(dir);
  if (parent != dir && !MakeDirs(parent, 0755, error)) return false;
  // Another process may make the same folder at the same moment.
  if (mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
    return Fail("cannot make folder", dir, errno, error);
  }
  return true;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

int ReadWholeFile(const std::string& path, std::string* content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  content->clear();
  char buffer[4096];
  int result = 0;
  while (true) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result = errno;
    if (n <= 0) break;
    content->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return result;
}

bool ReplaceFileDurably(const std::string& path, const std::string& content,
                        mode_t mode, std::string* error) {
  std::string temporary = path + ".tmp";
  if (!WriteAndSync(temporary, content, mode, error)) {
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    int saved = errno;
    unlink(temporary.c_str());
    return Fail("cannot replace", path, saved, error);
  }
  return SyncFolder(DirName(path), error);
}

std::string EscapeLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

bool UnescapeLine(const std::string& line, std::string* text) {
  text->clear();
  for (size_t i = 0; i < line.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(line[i]);
    if (byte < 0x20 || byte == 0x7f) return false;
    if (line[i] != '\\') {
      *text += line[i];
      continue;
    }
    if (i + 1 < line.size() && line[i + 1] == '\\') {
      *text += '\\';
      i += 1;
      continue;
    }
    if (i + 3 >= line.size() || line[i + 1] != 'x') return false;
    int high = HexValue(line[i + 2]);
    int low = HexValue(line[i + 3]);
    if (high < 0 || low < 0) return false;
    *text += static_cast<char>(high * 16 + low);
    i += 3;
  }
  return true;
}

}  // namespace service
}  // namespace qmx
