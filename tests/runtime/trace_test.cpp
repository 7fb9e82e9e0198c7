// Tracing: the level mask, the line format, private files, and whole lines
// under concurrent writers.

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "tests/runtime/test_root.h"

namespace qmx {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class TraceTest : public ::testing::Test {
 protected:
  std::string Log(const std::string& name = "trc") const {
    return root_.ReadFile("/var/log/qmx/" + name + ".log");
  }

  test::TempRoot root_;
};

TEST_F(TraceTest, LevelMaskSelectsLines) {
  const struct {
    const char* env;  // QMX_TRACE_LEVEL
    int level;
    bool written;
  } cases[] = {
      {"", TRACE_ERROR, true},         {"", TRACE_DETAIL, false},
      {"", TRACE_FUNCTION, false},     {"", TRACE_WARNING, true},
      {"31", TRACE_DETAIL, true},      {"4", TRACE_FUNCTION, true},
      {"4", TRACE_ERROR, false},       {"0", TRACE_ERROR, false},
      {"junk", TRACE_EXCEPTION, true}, {"junk", TRACE_DETAIL, false},
  };
  for (const auto& c : cases) {
    setenv("QMX_TRACE_LEVEL", c.env, 1);
    std::string before = Log();
    CTraceUtility::WriteDebug("trc", c.level, "level %d", c.level);
    EXPECT_EQ(Log() != before, c.written) << c.env << " " << c.level;
    EXPECT_EQ(CTraceUtility::IsEnabled(c.level), c.written);
  }
  setenv("QMX_TRACE_LEVEL", "30", 1);  // catalogue lines count as details
  CTraceUtility::WriteTrace("cat", "MSGID_CP_0005_S", "x");
  EXPECT_EQ(Log("cat"), "");
}

TEST_F(TraceTest, LinesHaveTheFixedFormatInPrivateFiles) {
  setenv("QMX_TRACE_LEVEL", "31", 1);
  const std::string big(100000, 'b');
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "failed: %s=%d", "code", 5);
  CTraceUtility::WriteTrace("trc", "MSGID_CP_0006_F", "UpdateAll", "%d 0x1");
  CTraceUtility::WriteTrace("trc", "MSGID_UNKNOWN", "ignored");
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "%s|two\nlines", big.c_str());
  const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z \[)" +
                         std::to_string(getpid()) + R"(:\d+\] trc )");
  const std::string bodies[] = {
      "L2 failed: code=5",
      "MSGID_CP_0006_F update service answered failure: kind=UpdateAll "
      "result=%d 0x1",
      "MSGID_UNKNOWN (no catalogue text)",
      "L2 " + big + "|two lines",
  };
  std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(lines.size(), 4u);
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t body = lines[i].find("] trc ") + 6;
    EXPECT_TRUE(std::regex_match(lines[i].substr(0, body), stamp)) << lines[i];
    EXPECT_EQ(lines[i].substr(body), bodies[i]);
  }
  // Traces may carry passwords.
  struct stat st;
  ASSERT_EQ(stat(root_.PathOf("/var/log/qmx/trc.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(root_.PathOf("/var/log/qmx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(TraceTest, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLines = 2000;
  const std::string padding(300, 'p');
  std::atomic<bool> go{false};  // all start together, to meet in the file
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, &padding, &go] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i) {
        CTraceUtility::WriteDebug("trc", TRACE_ERROR, "t%d i%d %s end", t, i,
                                  padding.c_str());
      }
    });
  }
  go = true;
  for (std::thread& writer : writers) writer.join();
  // Every line whole, and every (thread, line) pair exactly once.
  std::set<std::string> seen;
  const std::string tail = " " + padding + " end";
  std::vector<std::string> lines = Lines(Log());
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  for (const std::string& line : lines) {
    size_t body = line.find("] trc L2 t");
    ASSERT_TRUE(body != std::string::npos && line.rfind(tail) + tail.size() ==
                                                 line.size()) << line;
    seen.insert(line.substr(body == std::string::npos ? 0 : body));
  }
  EXPECT_EQ(seen.size(), lines.size());
}

}  // namespace
}  // namespace qmx
