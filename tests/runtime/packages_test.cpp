// The package query against a dpkg status database under QMX_ROOT; how
// its cache sees a changed database is file_cache_test's business.

#include <string>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "tests/runtime/test_root.h"

namespace qmx {
namespace {

constexpr const char* kStatus = "/var/lib/dpkg/status";

// Continuation lines, stanzas that are not installed, one name twice, field
// names in any case and no blank line at the end.
const char kDatabase[] =
    "Package: qmx-agent\nStatus: install ok installed\n"
    "Description: the agent\n Version: 9.9 in a continuation line\n .\n"
    "Version: 42.1-3\n\n"
    "Package: qmx-old\nStatus: deinstall ok config-files\nVersion: 1.0\n\n"
    "Package: qmx-multi\nStatus: install ok half-configured\nVersion: 2.0\n\n"
    "Package: qmx-multi\nStatus: install ok installed\nVersion: 2.1\n\n\n"
    "package: qmx-last\nversion: 7\nstatus: install ok installed";

TEST(PackagesTest, AnswersFromTheStatusDatabase) {
  test::TempRoot root;
  EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-agent"), "");  // no database
  root.WriteFile(kStatus, kDatabase);
  const char* cases[][2] = {
      {"qmx-agent", "42.1-3"}, {"qmx-old", ""}, {"qmx-multi", "2.1"},
      {"qmx-last", "7"},       {"absent", ""},  {"qmx", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CFileUtility::GetPackageVersion(c[0]), c[1]) << c[0];
  }
}

}  // namespace
}  // namespace qmx
