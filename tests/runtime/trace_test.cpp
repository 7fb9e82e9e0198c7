// Tracing: the level mask, the line format, private files, and a log
// rotated, removed or cut short by the disk while the host runs.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <numeric>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "runtime/trace_control.h"
#include "tests/runtime/test_root.h"
#include "tests/support/child_process.h"

namespace qmx {
namespace {

using T = CTraceUtility;

// The time now as a trace line gives it, so that times compare as texts.
std::string Stamp() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc;
  gmtime_r(&now.tv_sec, &utc);
  char text[40];
  size_t length = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + length, sizeof(text) - length, ".%06ldZ", now.tv_nsec / 1000);
  return text;
}

// Each row sets QMX_TRACE_LEVEL as a host does and writes once: the text
// its line ends with after the prefix, or "" when the mask keeps it out.
// The default takes the service's failures, not its successes; inserts are
// taken verbatim; a line break in the text becomes a blank. Each line bears
// the time it was written, to the microsecond.
TEST(TraceTest, LevelMaskSelectsLinesOfOneFormatInPrivateFiles) {
  test::TempRoot root;
  auto log = [&root] { return root.ReadFile("/var/log/qmx/trc.log"); };
  root.WriteFile("/var/log/qmx/trc.log", "");  // left open to all's reading
  ASSERT_EQ(chmod(root.PathOf("/var/log/qmx/trc.log").c_str(), 0644) |
                chmod(root.PathOf("/var/log/qmx").c_str(), 0755), 0);
  const std::string big(100000, 'b');
  const struct { const char* level; std::function<void()> write; std::string text; } cases[] = {
      {"", [] { T::WriteDebug("trc", TRACE_WARNING, "w"); }, "L16 w"},
      {"", [] { T::WriteDebug("trc", TRACE_DETAIL, "d"); }, ""},
      {"", [] { T::WriteTrace("trc", "MSGID_CP_0006_S", "x", "0000"); }, ""},
      {"", [] { T::WriteTrace("trc", "MSGID_CP_0006_F", "x", "0001"); },
       "MSGID_CP_0006_F update service answered failure: kind=x result=0001"},
      {"31", [] { T::WriteDebug("trc", TRACE_DETAIL, "d"); }, "L1 d"},
      {"4", [] { T::WriteDebug("trc", TRACE_FUNCTION, "f"); }, "L4 f"},
      {"4", [] { T::WriteDebug("trc", TRACE_ERROR, "e"); }, ""},
      {"0", [] { T::WriteDebug("trc", TRACE_ERROR, "e"); }, ""},
      {"junk", [] { T::WriteDebug("trc", TRACE_EXCEPTION, "x"); }, "L8 x"},
      {"junk", [] { T::WriteDebug("trc", TRACE_FUNCTION, "f"); }, ""},
      {"655350", [] { T::WriteDebug("trc", TRACE_FUNCTION, "f"); }, "L4 f"},  // bits past 31 unused
      {"6553600", [] { T::WriteDebug("trc", TRACE_FUNCTION, "f"); }, ""},  // too large: the default
      {"31", [] { T::WriteDebug("trc", TRACE_ERROR, "failed: %s=%d", "co\rde", 5); },
       "L2 failed: co de=5"},
      {"31", [] { T::WriteTrace("trc", "MSGID_CP_0006_F", "UpdateAll", "%d 0x1"); },
       "MSGID_CP_0006_F update service answered failure: kind=UpdateAll result=%d 0x1"},
      {"31", [] { T::WriteTrace("trc", "MSGID_UNKNOWN", "ignored"); },
       "MSGID_UNKNOWN (no catalogue text)"},
      {"31", [&big] { T::WriteDebug("trc", TRACE_ERROR, "%s|%d\nlines", big.c_str(), 2); },
       "L2 " + big + "|2 lines"},
      {"31", [] { T::WriteDebug("trc", TRACE_ERROR, "%s%d", std::string(511, 'f').c_str(), 7); },
       "L2 " + std::string(511, 'f') + "7"},  // one byte more than the first try takes
  };
  const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z \[)" +
                         std::to_string(getpid()) + R"(:\d+\] trc )");
  for (const auto& c : cases) {
    setenv("QMX_TRACE_LEVEL", c.level, 1);
    ReloadTraceLevel();
    const size_t before = log().size();
    const std::string earliest = Stamp();
    c.write();
    const std::string latest = Stamp();
    const std::string line = log().substr(before);  // what the row wrote
    ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), !c.text.empty()) << c.level << c.text;
    if (c.text.empty()) continue;
    size_t text = line.find("] trc ") + 6;
    EXPECT_TRUE(std::regex_match(line.substr(0, text), stamp)) << line;
    const std::string at = line.substr(0, earliest.size());
    EXPECT_TRUE(earliest <= at && at <= latest) << earliest << " " << at << " " << latest;
    EXPECT_EQ(line.substr(text), c.text + "\n");
  }
  // Traces may carry passwords: the log and its folder are made private, the
  // folders made on the way are the usual.
  for (const auto& [path, mode] : {std::pair<const char*, mode_t>{"/var/log/qmx/trc.log", 0600},
                                   {"/var/log/qmx", 0700}, {"/var/log", 0755}}) {
    struct stat st;
    ASSERT_EQ(stat(root.PathOf(path).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode) << path;
  }
  // logrotate renames the log and makes a new one while the host keeps
  // tracing: lines go on into the renamed file until the log's path is asked
  // again, within a second, and from then on into the new one. No line is
  // lost, doubled or put back into the old file.
  const std::string path = root.PathOf("/var/log/qmx/trc.log");
  std::atomic<int> written{0};
  std::atomic<bool> stop{false};
  std::thread host([&] {
    for (int i = 0; !stop; written = ++i) {
      T::WriteDebug("trc", TRACE_ERROR, "n%d", i);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  while (written < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  close(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));  // "create 0600"
  auto lines_in_new = [&log] {
    const std::string text = log();
    return std::count(text.begin(), text.end(), '\n');
  };
  for (int waited = 0; waited < 10000 && lines_in_new() < 3; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop = true;
  host.join();
  const std::regex number(R"(L2 n(\d+)\n)");
  auto numbers = [&number](const std::string& text) {
    std::vector<int> found;
    for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it) {
      found.push_back(std::stoi((*it)[1].str()));
    }
    return found;
  };
  std::vector<int> lines = numbers(root.ReadFile("/var/log/qmx/trc.log.1"));
  const std::vector<int> renewed = numbers(log());
  EXPECT_FALSE(renewed.empty());
  lines.insert(lines.end(), renewed.begin(), renewed.end());
  std::vector<int> all(written);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(lines, all);  // in the old file, then only in the new one
  // A reader who deletes the log finds a fresh one at the next line of
  // another thread, and the deleted one is closed then though this thread,
  // which wrote to it, stays idle; this thread follows within a second.
  ReloadTraceLevel();
  T::WriteDebug("trc", TRACE_ERROR, "before");
  ASSERT_EQ(unlink(path.c_str()), 0);
  std::thread([] { T::WriteDebug("trc", TRACE_ERROR, "other"); }).join();
  EXPECT_EQ(support::OpenFiles(getpid(), path + " (deleted)"), 0);
  EXPECT_EQ(support::OpenFiles(getpid(), path), 1);  // held under the old one's descriptor
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  T::WriteDebug("trc", TRACE_ERROR, "after");
  EXPECT_EQ(std::regex_replace(log(), std::regex(".*] trc "), ""), "L2 other\nL2 after\n");
  // A line the disk takes only part of (here the file size limit cuts it, as
  // a full disk would) is followed by this process's next line on a line of
  // its own; a line refused whole leaves the next one as it is.
  signal(SIGXFSZ, SIG_IGN);  // a refused write then fails with EFBIG
  rlimit unlimited;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  for (const auto& [room, cut] : {std::pair<rlim_t, std::string>{10, R"(\d{4}-\d\d-\d\d\n)"},
                                  {0, ""}}) {
    const std::string whole = log();
    const rlimit tight = {whole.size() + room, unlimited.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    T::WriteDebug("trc", TRACE_ERROR, "cut");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    T::WriteDebug("trc", TRACE_ERROR, "next");
    const std::string rest = log().substr(whole.size());
    EXPECT_TRUE(std::regex_match(rest, std::regex(cut + R"(\d{4}-[^\n]*\] trc L2 next\n)")))
        << room << " bytes of room: " << rest;
  }
  signal(SIGXFSZ, SIG_DFL);
}

}  // namespace
}  // namespace qmx
