#include "common/socket_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

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

// A symbolic link met on the way to the socket's folder, and the folder
// (symbolic links resolved) that holds it.
struct PathLink {
  std::string path;
  uid_t owner;
  std::string holder;
};

// Follows dir as the kernel does, one name at a time from "/": *real is the
// folder reached, *links every link met. Why it cannot be followed; "".
std::string FollowPath(const std::string& dir, std::string* real, std::vector<PathLink>* links) {
  std::vector<std::string> names;  // still to follow, the next one last
  auto push = [&names](const std::string& path) {
    for (size_t end = path.size(); end > 0;) {
      size_t slash = path.rfind('/', end - 1);
      size_t start = slash == std::string::npos ? 0 : slash + 1;
      if (end > start) names.push_back(path.substr(start, end - start));
      if (slash == std::string::npos) break;
      end = slash;
    }
  };
  push(dir);
  *real = "/";
  while (!names.empty()) {
    const std::string name = names.back();
    names.pop_back();
    if (name == ".") continue;
    if (name == "..") {
      *real = DirName(*real);
      continue;
    }
    const std::string next = (*real == "/" ? "" : *real) + "/" + name;
    struct stat st = {};
    if (lstat(next.c_str(), &st) != 0) return "cannot inspect " + next + ": " + ErrorText(errno);
    if (S_ISDIR(st.st_mode)) {
      *real = next;
      continue;
    }
    if (!S_ISLNK(st.st_mode)) return next + " is not a folder";
    // As many as the kernel follows (ELOOP).
    if (links->size() == 40) return "too many symbolic links on " + dir;
    std::string target(PATH_MAX, '\0');
    ssize_t size = readlink(next.c_str(), &target[0], target.size());
    if (size < 0) return "cannot read the link " + next + ": " + ErrorText(errno);
    target.resize(static_cast<size_t>(size));
    links->push_back({next, st.st_uid, *real});
    if (!target.empty() && target[0] == '/') *real = "/";
    push(target);
  }
  return "";
}

// Why a link on the socket's path may not be followed; "" when it may:
// only root, this user or the socket folder's owner may change it or the
// folder holding it, and that folder may not be renamed by anyone else.
std::string DistrustLink(const PathLink& link, uid_t owner) {
  auto trusted = [owner](uid_t uid) { return uid == 0 || uid == geteuid() || uid == owner; };
  const std::string not_followed = "link " + link.path + " not followed: ";
  if (!trusted(link.owner)) {
    return not_followed + "it belongs to uid " + std::to_string(link.owner);
  }
  struct stat holder;
  if (stat(link.holder.c_str(), &holder) != 0) {
    return not_followed + "cannot inspect " + link.holder + ": " + ErrorText(errno);
  }
  if (!trusted(holder.st_uid)) {
    return not_followed + link.holder + " belongs to uid " + std::to_string(holder.st_uid);
  }
  if (OthersMayWrite(holder)) {
    return not_followed + link.holder + " can be written by others (mode " +
           ModeText(holder.st_mode) + ")";
  }
  return link.holder == "/" ? "" : DistrustFolderChain(DirName(link.holder));
}

}  // namespace

SocketFolder JudgeSocketFolder(const std::string& socketPath) {
  SocketFolder folder;
  std::vector<PathLink> links;
  folder.distrust = FollowPath(DirName(socketPath), &folder.dir, &links);
  if (!folder.distrust.empty()) return folder;
  struct stat st = {};
  if (stat(folder.dir.c_str(), &st) != 0) {
    folder.distrust = "cannot inspect " + folder.dir + ": " + ErrorText(errno);
    return folder;
  }
  folder.owner = st.st_uid;
  folder.dev = st.st_dev;
  folder.ino = st.st_ino;
  folder.mode = st.st_mode;
  folder.distrust = st.st_uid == 0 || st.st_uid == geteuid()
                        ? DistrustFolderChain(folder.dir)
                        : DistrustServiceFolder(folder.dir, st);
  for (const PathLink& link : links) {
    if (!folder.distrust.empty()) break;
    folder.distrust = DistrustLink(link, folder.owner);
  }
  return folder;
}

bool SocketFolderChanged(const SocketFolder& folder, const std::string& socketPath) {
  struct stat st;
  return stat(DirName(socketPath).c_str(), &st) != 0 || st.st_dev != folder.dev ||
         st.st_ino != folder.ino || st.st_uid != folder.owner || st.st_mode != folder.mode;
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
