#include "common/qmx_root.h"

#include <cstdlib>

namespace qmx {

std::string RootedPath(const std::string& path) {
  const char* root = std::getenv("QMX_ROOT");
  if (root == nullptr || *root == '\0' || path.empty() || path[0] != '/') {
    return path;
  }
  std::string prefix(root);
  while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
  return prefix + path;
}

bool CheckQmxRoot(std::string* error) {
  const char* root = std::getenv("QMX_ROOT");
  if (root == nullptr || *root == '\0' || *root == '/') return true;
  *error = std::string("QMX_ROOT must be an absolute path, not \"") + root + "\"";
  return false;
}

}  // namespace qmx
