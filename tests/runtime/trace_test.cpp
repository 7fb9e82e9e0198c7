// Tracing: the level mask, the line format, private files, and whole lines
// under concurrent writers.

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
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

class TraceTest : public ::testing::Test {
 protected:
  // QMX_TRACE_LEVEL, as a host sets it.
  static void SetLevel(const char* level) {
    setenv("QMX_TRACE_LEVEL", level, 1);
    ReloadTraceLevel();
  }
  std::string Log(const std::string& name = "trc") const {
    return root_.ReadFile("/var/log/qmx/" + name + ".log");
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(Log());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  test::TempRoot root_;
};

TEST_F(TraceTest, LevelMaskSelectsLines) {
  const struct {
    const char* env;  // QMX_TRACE_LEVEL
    int level;
    bool written;
  } cases[] = {
      {"", TRACE_WARNING, true},  {"", TRACE_DETAIL, false},
      {"31", TRACE_DETAIL, true}, {"4", TRACE_FUNCTION, true},
      {"4", TRACE_ERROR, false},  {"0", TRACE_ERROR, false},
      {"junk", TRACE_EXCEPTION, true}, {"junk", TRACE_FUNCTION, false},
  };
  for (const auto& c : cases) {
    SetLevel(c.env);
    std::string before = Log();
    CTraceUtility::WriteDebug("trc", c.level, "level %d", c.level);
    EXPECT_EQ(Log() != before, c.written) << c.env << " " << c.level;
  }
  SetLevel("");  // the default takes the service's failures, not its successes
  CTraceUtility::WriteTrace("cat", "MSGID_CP_0006_S", "x", "0000");
  CTraceUtility::WriteTrace("cat", "MSGID_CP_0006_F", "x", "0001");
  EXPECT_EQ(Log("cat").substr(Log("cat").find("] cat ") + 6),
            "MSGID_CP_0006_F update service answered failure: kind=x result=0001\n");
}

TEST_F(TraceTest, LinesHaveTheFixedFormatInPrivateFiles) {
  SetLevel("31");
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
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 4u);
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t body = lines[i].find("] trc ") + 6;
    EXPECT_TRUE(std::regex_match(lines[i].substr(0, body), stamp)) << lines[i];
    EXPECT_EQ(lines[i].substr(body), bodies[i]);
  }
  struct stat st;  // traces may carry passwords
  ASSERT_EQ(stat(root_.PathOf("/var/log/qmx/trc.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(root_.PathOf("/var/log/qmx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// Every line whole, and every (thread, line) pair exactly once.
TEST_F(TraceTest, ConcurrentWritersNeverInterleave) {
  const std::string padding(300, 'p');
  std::atomic<bool> go{false};  // all start together, to meet in the file
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([t, pad = padding.c_str(), &go] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 2000; ++i) {
        CTraceUtility::WriteDebug("trc", TRACE_ERROR, "t%d i%d %s end", t, i, pad);
      }
    });
  }
  go = true;
  for (std::thread& writer : writers) writer.join();
  std::set<std::string> seen;
  std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines.size(), 8u * 2000);
  for (const std::string& line : lines) {
    size_t body = line.find("] trc L2 t");
    ASSERT_TRUE(body != std::string::npos &&
                line.rfind(padding + " end") == line.size() - 304) << line;
    seen.insert(line.substr(body));
  }
  EXPECT_EQ(seen.size(), lines.size());
}

// A reader who deletes the log while the host runs finds a fresh one
// within a second, instead of lines going on into the deleted file.
TEST_F(TraceTest, RemovedLogIsWrittenAgain) {
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "before");
  ASSERT_EQ(unlink(root_.PathOf("/var/log/qmx/trc.log").c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "after");
  std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 9), " L2 after");
}

}  // namespace
}  // namespace qmx
