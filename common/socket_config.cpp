#include "common/socket_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/ini_file.h"
#include "common/safe_files.h"

namespace qmx {
namespace {

constexpr char kSection[] = "Socket";

void ReadTimeout(const IniFile& ini, const std::string& file, const char* key,
                 int* value, std::vector<std::string>* errors) {
  bool malformed = false;
  long parsed = ini.GetInt(kSection, key, *value, 1, INT_MAX, &malformed);
  if (malformed) {
    errors->push_back(file + ": [" + kSection + "] " + key + " = '" +
                      *ini.Find(kSection, key) +
                      "' is not a time-out in milliseconds; using " +
                      std::to_string(*value));
  }
  *value = static_cast<int>(parsed);
}

bool OthersMayWrite(const struct stat& st) {
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Why a folder of another user, the service's own, cannot be trusted; "" when
// it can: only its owner may write it, and whoever may make or replace it
// in the folder above is trusted (a sticky bit there would let anyone make
// one of their own).
std::string DistrustServiceFolder(const std::string& dir, const struct stat& st) {
  const std::string parent = DirName(dir);
  struct stat above;
  const std::string owned = "folder " + dir + " belongs to uid " + std::to_string(st.st_uid);
  if (OthersMayWrite(st)) return owned + " and can be written by others";
  if (stat(parent.c_str(), &above) != 0) {
    return "cannot inspect " + parent + ": " + ErrorText(errno);
  }
  if (OthersMayWrite(above)) return owned + ", in " + parent + ", which others may write";
  return DistrustFolderChain(parent);
}

}  // namespace

SocketFolder JudgeSocketFolder(const std::string& socketPath) {
  SocketFolder folder;
  const std::string dir = DirName(socketPath);
  char* real = realpath(dir.c_str(), nullptr);
  if (real == nullptr) {
    folder.distrust = "cannot resolve " + dir + ": " + ErrorText(errno);
    return folder;
  }
  folder.dir = real;
  std::free(real);
  struct stat st;
  if (stat(folder.dir.c_str(), &st) != 0) {
    folder.distrust = "cannot inspect " + folder.dir + ": " + ErrorText(errno);
    return folder;
  }
  folder.owner = st.st_uid;
  folder.distrust = st.st_uid == 0 || st.st_uid == geteuid()
                        ? DistrustFolderChain(folder.dir)
                        : DistrustServiceFolder(folder.dir, st);
  return folder;
}

std::string DistrustServer(const SocketFolder& folder, uid_t uid) {
  if (!folder.distrust.empty()) return folder.distrust;
  if (uid == 0 || uid == folder.owner) return "";
  return "uid " + std::to_string(uid) + " is neither root nor the owner of " +
         folder.dir + " (uid " + std::to_string(folder.owner) + ")";
}

SocketConfig ParseSocketConfig(const std::string& file, const std::string& text) {
  IniFile ini;
  ini.LoadText(text);
  SocketConfig config;
  const std::string* path = ini.Find(kSection, "Path");
  config.pathGiven = path != nullptr && !path->empty();
  if (config.pathGiven && (*path)[0] == '/') {
    config.path = *path;
  } else if (config.pathGiven) {
    // Relative to what? Each process has its own working folder.
    config.errors.push_back(file + ": [Socket] Path = '" + *path +
                            "' is not an absolute path; using " +
                            kDefaultSocketPath);
  }
  ReadTimeout(ini, file, "ConnectTimeoutMs", &config.connectTimeoutMs,
              &config.errors);
  ReadTimeout(ini, file, "SendTimeoutMs", &config.sendTimeoutMs, &config.errors);
  ReadTimeout(ini, file, "ReceiveTimeoutMs", &config.receiveTimeoutMs,
              &config.errors);
  std::string outside;
  for (const std::string& key : ini.KeysOutside(kSection)) {
    outside += (outside.empty() ? "" : ", ") + key;
  }
  if (!outside.empty()) {
    config.warnings.push_back(file + ": keys outside a [Socket] section are ignored: " +
                              outside);
  }
  return config;
}

SocketConfig ReadSocketConfig(const std::string& file) {
  std::string text;
  std::string error;
  int result = ReadFileBounded(file, kSocketConfigLimit, ReadRule::kShared,
                               &text, &error);
  SocketConfig config;
  if (result == 0) config = ParseSocketConfig(file, text);
  config.fileFound = result != ENOENT;
  if (result != 0 && config.fileFound) {
    config.errors.push_back(error + "; using the defaults");
  }
  return config;
}

}  // namespace qmx
