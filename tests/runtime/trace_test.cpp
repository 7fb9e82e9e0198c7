// Tracing: the level mask, the line format, file permissions, whole lines
// under concurrent writers, the capture and the mirror.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "runtime/testing/host_testing.h"
#include "runtime/trace_mirror.h"
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
  std::string Log(const char* name = "trc") const {
    return test::ReadFile(m_root.Path(std::string("/var/log/qmx/") + name + ".log"));
  }

  test::TempRoot m_root;
};

TEST_F(TraceTest, LevelMaskSelectsLines) {
  const struct {
    const char* env;  // null: unset
    int level;
    bool written;
  } cases[] = {
      {nullptr, TRACE_ERROR, true},      {nullptr, TRACE_DETAIL, false},
      {nullptr, TRACE_FUNCTION, false},  {nullptr, TRACE_WARNING, true},
      {"31", TRACE_DETAIL, true},        {"4", TRACE_FUNCTION, true},
      {"4", TRACE_ERROR, false},         {"0", TRACE_ERROR, false},
      {"junk", TRACE_EXCEPTION, true},   {"junk", TRACE_DETAIL, false},
  };
  for (const auto& c : cases) {
    if (c.env == nullptr) {
      unsetenv("QMX_TRACE_LEVEL");
    } else {
      setenv("QMX_TRACE_LEVEL", c.env, 1);
    }
    std::string before = Log();
    CTraceUtility::WriteDebug("trc", c.level, "level %d", c.level);
    EXPECT_EQ(Log() != before, c.written) << (c.env ? c.env : "unset") << " " << c.level;
    EXPECT_EQ(CTraceUtility::IsEnabled(c.level), c.written);
  }
  // Catalogue lines count as details.
  setenv("QMX_TRACE_LEVEL", "30", 1);
  CTraceUtility::WriteTrace("cat", "MSGID_CP_0005_S", "x");
  EXPECT_EQ(Log("cat"), "");
}

TEST_F(TraceTest, LinesHaveTheFixedFormat) {
  setenv("QMX_TRACE_LEVEL", "31", 1);
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "failed: %s=%d", "code", 5);
  CTraceUtility::WriteTrace("trc", "MSGID_CP_0006_F", "UpdateAll", "%d 0x1");
  CTraceUtility::WriteTrace("trc", "MSGID_UNKNOWN", "ignored");
  std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(lines.size(), 3u);
  const std::string stamp =
      R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z \[)" +
      std::to_string(getpid()) + R"(:\d+\] trc )";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + "L2 failed: code=5$")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(stamp + "MSGID_CP_0006_F update service answered "
                                   "failure: kind=UpdateAll result=%d 0x1$")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex(stamp + R"(MSGID_UNKNOWN \(no catalogue text\)$)")))
      << lines[2];
}

TEST_F(TraceTest, FilesArePrivate) {
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "password=secret");
  struct stat st;
  ASSERT_EQ(stat(m_root.Path("/var/log/qmx/trc.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(m_root.Path("/var/log/qmx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(TraceTest, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  const std::string padding(300, 'p');
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, &padding] {
      for (int i = 0; i < kLines; ++i) {
        CTraceUtility::WriteDebug("trc", TRACE_ERROR, "t%d i%d %s end", t, i,
                                  padding.c_str());
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  // Every line whole, and every (thread, line) pair exactly once.
  std::set<std::string> seen;
  const std::string tail = " " + padding + " end";
  for (const std::string& line : lines) {
    size_t body = line.find("] trc L2 t");
    ASSERT_NE(body, std::string::npos) << line;
    ASSERT_EQ(line.size() - tail.size(), line.rfind(tail)) << line;
    seen.insert(line.substr(body));
  }
  EXPECT_EQ(seen.size(), lines.size());
}

TEST_F(TraceTest, LongLinesAndLineBreaksStayOneLine) {
  std::string big(100000, 'b');
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "%s|two\nlines", big.c_str());
  std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(big + "|two lines"), std::string::npos);
}

TEST_F(TraceTest, NewRootOrRemovedFileGetsANewFile) {
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "first");
  ASSERT_EQ(unlink(m_root.Path("/var/log/qmx/trc.log").c_str()), 0);
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "second");
  EXPECT_NE(Log().find("second"), std::string::npos);
  {
    test::TempRoot other;
    CTraceUtility::WriteDebug("trc", TRACE_ERROR, "third");
    EXPECT_NE(test::ReadFile(other.Path("/var/log/qmx/trc.log")).find("third"),
              std::string::npos);
  }
  EXPECT_EQ(Log().find("third"), std::string::npos);
}

TEST_F(TraceTest, CaptureSeesLinesTheFileMaskDrops) {
  setenv("QMX_TRACE_LEVEL", "0", 1);
  testing::TraceCapture capture(TRACE_FUNCTION);
  CTraceUtility::WriteDebug("trc", TRACE_FUNCTION, "in %s", "Run");
  CTraceUtility::WriteDebug("trc", TRACE_DETAIL, "not wanted");
  CTraceUtility::WriteTrace("trc", "MSGID_CP_0006_S", "GetQmxStatus", "0");
  EXPECT_EQ(Log(), "");
  std::vector<testing::TraceLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, TRACE_FUNCTION);
  EXPECT_EQ(lines[0].text, "in Run");
  EXPECT_EQ(lines[1].level, 0);
  EXPECT_EQ(lines[1].messageId, "MSGID_CP_0006_S");
  EXPECT_EQ(lines[1].inserts, (std::vector<std::string>{"GetQmxStatus", "0"}));
  EXPECT_EQ(lines[1].text,
            "update service answered success: kind=GetQmxStatus result=0");
  capture.Clear();
  EXPECT_TRUE(capture.Texts().empty());
}

TEST_F(TraceTest, MirrorGetsTheSameLines) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  SetTraceMirror(pipeFds[1]);
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "mirrored");
  CTraceUtility::WriteDebug("trc", TRACE_DETAIL, "masked");
  SetTraceMirror(-1);
  CTraceUtility::WriteDebug("trc", TRACE_ERROR, "after");
  close(pipeFds[1]);
  std::string mirrored;
  char buffer[512];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof(buffer))) > 0;) {
    mirrored.append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  EXPECT_EQ(mirrored, Lines(Log())[0] + "\n");
}

}  // namespace
}  // namespace qmx
