// Shared helpers of the runtime tests: a temporary QMX_ROOT per test and
// small file utilities.

#ifndef QMX_TESTS_RUNTIME_TEST_ROOT_H_
#define QMX_TESTS_RUNTIME_TEST_ROOT_H_

#include <string>

namespace qmx {
namespace test {

// A fresh folder set as QMX_ROOT (and QMX_TRACE_LEVEL unset) for the life of
// the object; removed with its contents afterwards.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  // absolute under the root.
  std::string Path(const std::string& absolute) const;
  // Writes text to absolute under the root, making its folders.
  void Write(const std::string& absolute, const std::string& text) const;

 private:
  std::string m_root;
};

std::string ReadFile(const std::string& path);

}  // namespace test
}  // namespace qmx

#endif  // QMX_TESTS_RUNTIME_TEST_ROOT_H_
