#include "common/socket_config.h"

#include <cerrno>
#include <climits>

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

}  // namespace

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
