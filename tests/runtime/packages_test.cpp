// The package query against a dpkg status database under QMX_ROOT.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>

#include <iterator>
#include <string>
#include <utility>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "tests/runtime/test_root.h"

namespace qmx {
namespace {

constexpr const char* kStatus = "/var/lib/dpkg/status";

// Continuation lines, blanks around a value, stanzas that are not
// installed, one name twice, field names in any case and no blank line at
// the end; the answers for it.
const char kDatabase[] =
    "Package: qmx-agent\nStatus: install ok installed\n"
    "Description: the agent\n Version: 9.9 in a continuation line\n .\nVersion: 42.1-3 \t\n\n"
    "Package: qmx-old\nStatus: deinstall ok config-files\nVersion: 1.0\n\n"
    "Package: qmx-multi\nStatus: install ok half-installed\nVersion: 2.0\n\n"
    "Package: qmx-multi\nStatus: install ok installed\nVersion: 2.1\n\n\n"
    "package: qmx-last\nversion: 7\nstatus: install ok installed";
const std::pair<std::string, const char*> kAnswers[] = {
    {"qmx-agent", "42.1-3"}, {"qmx-old", ""}, {"qmx-multi", "2.1"},
    {"qmx-last", "7"},       {"absent", ""},  {"qmx", ""},
};

// Status words as dpkg reads them: a package counts in every state in
// which its files are on disk, whatever it is wanted as.
const std::pair<const char*, bool> kStatusWords[] = {
    {"hold ok installed", true},           {"deinstall ok installed", true},
    {"install reinstreq unpacked", true},  {"install ok half-configured", true},
    {"install ok triggers-awaited", true}, {"unknown ok triggers-pending", true},
    {"Hold  OK\tInstalled", true},         {"purge ok config-files", false},
    {"install ok half-installed", false},  {"install ok installed now", false},
    {"install ok", false},                 {"install okay installedx", false},
};

// The answers follow the database at once: rewritten in place a moment
// after it was read, with the same size and, as a file system with coarse
// timestamps would keep it, the same modification time; rewritten long
// after, with only the time or only the size changed (as "cp -p" onto it
// does); or replaced by a file renamed over it.
TEST(PackagesTest, AnswersFromTheStatusDatabaseAsItIsNow) {
  test::TempRoot root;
  EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-agent"), "");  // no database
  std::string database = kDatabase;
  for (size_t i = 0; i < std::size(kStatusWords); ++i) {
    database = "Package: p" + std::to_string(i) + "\nStatus: " + kStatusWords[i].first +
               "\nVersion: 1\n\n" + database;
  }
  root.WriteFile(kStatus, database);
  for (const auto& [name, version] : kAnswers) {
    EXPECT_EQ(CFileUtility::GetPackageVersion(name), version) << name;
  }
  for (size_t i = 0; i < std::size(kStatusWords); ++i) {
    EXPECT_EQ(CFileUtility::GetPackageVersion("p" + std::to_string(i)),
              kStatusWords[i].second ? "1" : "") << kStatusWords[i].first;
  }
  const time_t now = time(nullptr);
  std::string version = "42.1-3";
  const std::pair<std::string, time_t> rewrites[] = {
      {"42.1-4", now}, {"42.1-5", now - 99}, {"42.1-6", now - 98}, {"42.1-70", now - 98}};
  for (const auto& [next, mtime] : rewrites) {
    database.replace(database.find(version), version.size(), next);
    version = next;
    root.WriteFile(kStatus, database);
    const timespec stamp[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, root.PathOf(kStatus).c_str(), stamp, 0), 0);
    EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-agent"), next);
  }
  // As dpkg writes it: a new file of the same size and time renamed over it.
  root.WriteFile("/new", database.replace(database.find(version), version.size(), "42.1-71"));
  const timespec stamp[2] = {{now - 98, 0}, {now - 98, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, root.PathOf("/new").c_str(), stamp, 0), 0);
  ASSERT_EQ(rename(root.PathOf("/new").c_str(), root.PathOf(kStatus).c_str()), 0);
  EXPECT_EQ(CFileUtility::GetPackageVersion("qmx-agent"), "42.1-71");
}

}  // namespace
}  // namespace qmx
