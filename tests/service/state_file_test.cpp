#include "service/state_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "service/files.h"
#include "service/journal_file.h"

namespace qmx {
namespace service {
namespace {

ServiceSettings Awkward() {
  ServiceSettings settings = ServiceSettings::Defaults();
  settings.download[6] = "http://a;b=c\\d\nend\n\x01\x7f\xc3\xa9";
  settings.download[10] = "pass word\t";
  settings.update = {"1", "-5", "Mon", "", "23:59"};
  settings.status = 0xBEEF;
  settings.reboot = 1;
  return settings;
}

std::string ReadFile(const std::string& path) {
  std::string text;
  EXPECT_EQ(ReadWholeFile(path, &text), 0) << path;
  return text;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

mode_t ModeOf(const std::string& path) {
  struct stat info;
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

class StateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qmxstate.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/state";
  }
  void TearDown() override {
    std::string command = "rm -rf " + dir_;
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string dir_;
  std::string path_;
};

TEST(StateFormatTest, RoundTripsAnyValues) {
  ServiceSettings parsed;
  std::string error;
  ASSERT_TRUE(ParseState(FormatState(Awkward()), &parsed, &error)) << error;
  EXPECT_EQ(parsed, Awkward());
}

TEST(StateFormatTest, RejectsDamagedFiles) {
  const std::string good = FormatState(Awkward());
  auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::string damaged[] = {
      "",
      replaced("state 1", "state 2"),
      replaced("Status=BEEF", "Status=BEE"),
      replaced("Reboot=00000001", "Reboot=0000000x"),
      replaced("IsAutoSetting=0", "IsAutoSetting=2"),
      replaced("RepeatType=-5", "RepeatType=five"),
      replaced("update.Time", "update.Tim"),
      replaced("pass word", "pass\\q"),
      replaced("Status=BEEF\n", "Status=BEEF\nStatus=0000\n"),
      replaced("Status=BEEF\n", "Unknown=1\nStatus=BEEF\n"),
      good + "more\n",
  };
  for (const std::string& text : damaged) {
    ServiceSettings parsed;
    std::string error;
    EXPECT_FALSE(ParseState(text, &parsed, &error)) << EscapeLine(text);
    EXPECT_FALSE(error.empty());
  }
  // A file cut anywhere before its end line is never taken for whole.
  for (size_t size = 0; size + 1 < good.size(); ++size) {
    ServiceSettings parsed;
    std::string error;
    EXPECT_FALSE(ParseState(good.substr(0, size), &parsed, &error)) << size;
  }
}

TEST_F(StateFileTest, MissingFileGivesDefaultsAndSaveLoadRoundTrips) {
  StateFile file(path_);
  ServiceSettings settings;
  std::string note;
  ASSERT_TRUE(file.Load(&settings, &note, 1000));
  EXPECT_EQ(settings, ServiceSettings::Defaults());
  EXPECT_EQ(note, "");

  std::string error;
  ASSERT_TRUE(file.Save(Awkward(), &error)) << error;
  EXPECT_EQ(ModeOf(path_), 0600u);
  EXPECT_NE(access((path_ + ".tmp").c_str(), F_OK), 0);
  ASSERT_TRUE(StateFile(path_).Load(&settings, &note, 1000));
  EXPECT_EQ(settings, Awkward());
}

TEST_F(StateFileTest, FailedSaveLeavesTheOldFile) {
  StateFile file(path_);
  std::string error;
  ASSERT_TRUE(file.Save(Awkward(), &error)) << error;
  const std::string old_text = ReadFile(path_);
  // A folder where the temporary file goes makes the write fail even as root.
  ASSERT_EQ(mkdir((path_ + ".tmp").c_str(), 0700), 0);
  EXPECT_FALSE(file.Save(ServiceSettings::Defaults(), &error));
  EXPECT_NE(error, "");
  EXPECT_EQ(ReadFile(path_), old_text);
}

TEST_F(StateFileTest, CorruptFileIsSetAsideAndReported) {
  for (const char* suffix : {"", ".1"}) {
    WriteFile(path_, "garbage\n");
    ServiceSettings settings = Awkward();
    std::string note;
    ASSERT_TRUE(StateFile(path_).Load(&settings, &note, 1234));
    EXPECT_EQ(settings, ServiceSettings::Defaults());
    std::string aside = path_ + ".corrupt-1234" + suffix;
    EXPECT_NE(note.find(aside), std::string::npos) << note;
    EXPECT_EQ(ReadFile(aside), "garbage\n");
    EXPECT_NE(access(path_.c_str(), F_OK), 0);
  }
}

TEST_F(StateFileTest, JournalAppendsPrivateEscapedLines) {
  EXPECT_EQ(FormatJournalLine(0, "exmndnld", {"A=x\ty", "B=\\"}),
            "1970-01-01T00:00:00Z\texmndnld\tA=x\\x09y\tB=\\\\\n");
  JournalFile journal(dir_ + "/journal.log");
  std::string error;
  ASSERT_TRUE(journal.Record("exreboot", {}, &error)) << error;
  ASSERT_TRUE(journal.Record("mdulupdt", {}, &error)) << error;
  EXPECT_EQ(ModeOf(dir_ + "/journal.log"), 0600u);
  EXPECT_EQ(ReadFile(dir_ + "/journal.log").size(), 2 * 30u);
}

}  // namespace
}  // namespace service
}  // namespace qmx
