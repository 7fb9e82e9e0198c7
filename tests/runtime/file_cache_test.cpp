// Files the runtime keeps parsed between calls, the package database and the
// socket configuration, are read again as soon as they change: rewritten in
// place a moment after they were read, with the same size, or replaced by a
// new file renamed over them.

#include <stdio.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "host/file_transfer.h"
#include "host/utility.h"
#include "runtime/testing/host_testing.h"
#include "tests/runtime/test_root.h"

namespace qmx {
namespace {

constexpr const char* kStatus = "/var/lib/dpkg/status";
constexpr const char* kConfig = "/opt/veltrax/qmx/um/SocketConfig.ini";
const size_t kDatabaseSize = 160;

enum class Change { kInPlace, kRenamedOver };

void Rewrite(const test::TempRoot& root, const char* path,
             const std::string& text, Change change) {
  if (change == Change::kInPlace) {
    root.WriteFile(path, text);
    return;
  }
  root.WriteFile(std::string(path) + ".new", text);
  ASSERT_EQ(rename(root.PathOf(std::string(path) + ".new").c_str(),
                   root.PathOf(path).c_str()),
            0);
}

// One stanza for the package, padded so that every variant has the same
// size and only the content tells them apart.
std::string Database(const std::string& status, const std::string& version) {
  std::string text = "Package: qmxupdtmngr\nStatus: " + status +
                     "\nVersion: " + version + "\nX-Pad: ";
  text.append(kDatabaseSize - 1 - text.size(), '.');
  return text + "\n";
}

TEST(FileCacheTest, PackageChangedAMomentAgoIsSeen) {
  const std::string installed = "install ok installed";
  const std::string removed = "deinstall ok config-files";
  const struct {
    const char* what;
    std::string before;
    std::string after;
    const char* versionBefore;
    const char* versionAfter;
  } cases[] = {
      {"installed", Database(removed, "42.0-1"), Database(installed, "42.0-1"),
       "", "42.0-1"},
      {"removed", Database(installed, "42.0-1"), Database(removed, "42.0-1"),
       "42.0-1", ""},
      {"upgraded", Database(installed, "42.0-1"), Database(installed, "42.0-2"),
       "42.0-1", "42.0-2"},
  };
  for (Change change : {Change::kInPlace, Change::kRenamedOver}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) +
                   (change == Change::kInPlace ? " in place" : " by rename"));
      test::TempRoot root;
      root.WriteFile(kStatus, c.before);
      EXPECT_EQ(CFileUtility::GetPackageVersion("qmxupdtmngr"), c.versionBefore);
      Rewrite(root, kStatus, c.after, change);
      EXPECT_EQ(CFileUtility::GetPackageVersion("qmxupdtmngr"), c.versionAfter);
    }
  }
}

// The socket a transport tried, as its failure trace names it.
std::string TriedSocket() {
  testing::TraceCapture capture(TRACE_ERROR);
  CFileTransfer transfer("test", kConfig);
  EXPECT_EQ(transfer.SendMessage("0000gustatus0000"), -1);
  std::vector<std::string> texts = capture.Texts();
  return texts.empty() ? "" : texts.front().substr(0, texts.front().find(':'));
}

TEST(FileCacheTest, SocketConfigurationChangedAMomentAgoIsSeen) {
  for (Change change : {Change::kInPlace, Change::kRenamedOver}) {
    SCOPED_TRACE(change == Change::kInPlace ? "in place" : "by rename");
    test::TempRoot root;
    root.WriteFile(kConfig, "[Socket]\nPath=/run/a.sock\n");
    EXPECT_EQ(TriedSocket(), root.PathOf("/run/a.sock"));
    Rewrite(root, kConfig, "[Socket]\nPath=/run/b.sock\n", change);
    EXPECT_EQ(TriedSocket(), root.PathOf("/run/b.sock"));
    Rewrite(root, kConfig, "[Socket]\n", change);
    EXPECT_EQ(TriedSocket(), root.PathOf("/var/run/qmx/qmxupdtmngr.sock"));
  }
}

}  // namespace
}  // namespace qmx
