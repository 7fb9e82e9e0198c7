// Tracing: the level mask, the line format, private files, and a log
// removed while the host runs.

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "runtime/trace_control.h"
#include "tests/runtime/test_root.h"

namespace qmx {
namespace {

using T = CTraceUtility;

// Each row sets QMX_TRACE_LEVEL as a host does and writes once: the text
// its line ends with after the prefix, or "" when the mask keeps it out.
// The default takes the service's failures, not its successes; inserts are
// taken verbatim; a line break in the text becomes a blank.
TEST(TraceTest, LevelMaskSelectsLinesOfOneFormatInPrivateFiles) {
  test::TempRoot root;
  auto log_lines = [&root] {
    std::vector<std::string> lines;
    std::istringstream in(root.ReadFile("/var/log/qmx/trc.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  };
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
      {"31", [] { T::WriteDebug("trc", TRACE_ERROR, "failed: %s=%d", "co\rde", 5); },
       "L2 failed: co de=5"},
      {"31", [] { T::WriteTrace("trc", "MSGID_CP_0006_F", "UpdateAll", "%d 0x1"); },
       "MSGID_CP_0006_F update service answered failure: kind=UpdateAll result=%d 0x1"},
      {"31", [] { T::WriteTrace("trc", "MSGID_UNKNOWN", "ignored"); },
       "MSGID_UNKNOWN (no catalogue text)"},
      {"31", [&big] { T::WriteDebug("trc", TRACE_ERROR, "%s|%d\nlines", big.c_str(), 2); },
       "L2 " + big + "|2 lines"},
  };
  const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z \[)" +
                         std::to_string(getpid()) + R"(:\d+\] trc )");
  for (const auto& c : cases) {
    setenv("QMX_TRACE_LEVEL", c.level, 1);
    ReloadTraceLevel();
    const size_t before = log_lines().size();
    c.write();
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), before + !c.text.empty()) << c.level << " " << c.text;
    if (c.text.empty()) continue;
    size_t text = lines.back().find("] trc ") + 6;
    EXPECT_TRUE(std::regex_match(lines.back().substr(0, text), stamp)) << lines.back();
    EXPECT_EQ(lines.back().substr(text), c.text);
  }
  struct stat st;  // traces may carry passwords
  ASSERT_EQ(stat(root.PathOf("/var/log/qmx/trc.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(root.PathOf("/var/log/qmx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A reader who deletes the log finds a fresh one within a second, instead
  // of lines going on into the deleted file.
  ASSERT_EQ(unlink(root.PathOf("/var/log/qmx/trc.log").c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  T::WriteDebug("trc", TRACE_ERROR, "after");
  ASSERT_EQ(log_lines().size(), 1u);
  EXPECT_EQ(log_lines()[0].substr(log_lines()[0].size() - 9), " L2 after");
}

}  // namespace
}  // namespace qmx
