// The package query against a dpkg status database under QMX_ROOT.

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "runtime/testing/host_testing.h"
#include "tests/runtime/test_root.h"

namespace qmx {
namespace {

constexpr const char* kStatus = "/var/lib/dpkg/status";

const char kDatabase[] =
    "Package: qmx-agent\n"
    "Status: install ok installed\n"
    "Description: the agent\n"
    " Version: 9.9 in a continuation line\n"
    " .\n"
    "Version: 42.1-3\n"
    "\n"
    "Package: qmx-old\n"
    "Status: deinstall ok config-files\n"
    "Version: 1.0\n"
    "\n"
    "Package: qmx-multi\n"
    "Status: install ok half-configured\n"
    "Version: 2.0\n"
    "\n"
    "Package: qmx-multi\n"
    "Status: install ok installed\n"
    "Version: 2.1\n"
    "\n\n"
    "package: qmx-last\n"
    "version: 7\n"
    "status: install ok installed";

TEST(PackagesTest, AnswersFromTheStatusDatabase) {
  test::TempRoot root;
  root.Write(kStatus, kDatabase);
  const struct {
    const char* name;
    const char* version;
  } cases[] = {
      {"qmx-agent", "42.1-3"}, {"qmx-old", ""},  {"qmx-multi", "2.1"},
      {"qmx-last", "7"},       {"absent", ""},   {"qmx", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CFileUtility::GetPackageVersion(c.name), c.version) << c.name;
  }
}

TEST(PackagesTest, MissingDatabaseMeansNotInstalled) {
  test::TempRoot root;
  EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-agent"), "");
}

TEST(PackagesTest, RewrittenDatabaseIsReadAgain) {
  test::TempRoot root;
  root.Write(kStatus, kDatabase);
  EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-agent"), "42.1-3");
  // Same size, so only the modification time tells the files apart.
  std::string text = kDatabase;
  text.replace(text.find("42.1-3"), 6, "42.2-0");
  root.Write(kStatus, text);
  struct timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, root.Path(kStatus).c_str(), times, 0), 0);
  EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-agent"), "42.2-0");
}

TEST(PackagesTest, FakePackagesReplaceTheDatabase) {
  test::TempRoot root;
  root.Write(kStatus, kDatabase);
  {
    testing::FakePackages fake;
    fake.Install("qmx-new", "3.0");
    EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-new"), "3.0");
    EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-agent"), "");
    fake.Remove("qmx-new");
    EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-new"), "");
    EXPECT_EQ(fake.Queries(), 3);
  }
  EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-agent"), "42.1-3");
}

}  // namespace
}  // namespace qmx
