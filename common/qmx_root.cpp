#include "common/qmx_root.h"

#include <cstdlib>
#include <cstring>

namespace qmx {

std::string RootedPath(const std::string& path) {
  const char* root = std::getenv("QMX_ROOT");
  if (root == nullptr || *root == '\0' || path.empty() || path[0] != '/') {
    return path;
  }
  size_t length = std::strlen(root);
  while (length > 0 && root[length - 1] == '/') --length;
  // Built in one piece: every request cycle asks for several paths.
  std::string rooted;
  rooted.reserve(length + path.size());
  rooted.append(root, length).append(path);
  return rooted;
}

bool CheckQmxRoot(std::string* error) {
  const char* root = std::getenv("QMX_ROOT");
  if (root == nullptr || *root == '\0' || *root == '/') return true;
  *error = std::string("QMX_ROOT must be an absolute path, not \"") + root + "\"";
  return false;
}

}  // namespace qmx
