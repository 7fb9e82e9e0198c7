// The state file: any values survive a save and a load, a damaged or cut
// file is never taken for whole, yet every good line of it is kept; a failed
// save leaves the old file, and the file stays private.

#include "service/state_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "common/safe_files.h"
#include "gtest/gtest.h"
#include "service/files.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace service {
namespace {

ServiceSettings Awkward() {
  ServiceSettings settings = ServiceSettings::Defaults();
  settings.download[6] = "http://a;b=c\\d\nend\n\x01\x7f\xc3\xa9";
  settings.download[10] = "pass word\t  ";
  settings.update = {"1", "-5", "Mon", "", "23:59"};
  settings.status = 0xBEEF;
  settings.reboot = 0x8000A001u;
  return settings;
}

// text with the last from replaced by to.
std::string Edit(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.rfind(from), from.size(), to);
}

class StateFileTest : public ::testing::Test {
 protected:
  support::TempRoot root_;
  const std::string path_ = root_.PathOf("/state");
  StateFile file_{path_};
  ServiceSettings settings_;
  std::vector<std::string> notes_;

  // The notes as one text, for searching.
  std::string Notes() const {
    std::string all;
    for (const std::string& note : notes_) all += note + "\n";
    return all;
  }
};

// A temporary file a save cut short left is removed at the next load. A
// folder in the state's place makes the save fail even as root, and leaves
// no temporary file behind. A failed sync of the folder after the rename
// leaves the new file in place, so the save counts, with a warning.
TEST_F(StateFileTest, SavesPrivatelyAndLoadsWhatItSaved) {
  std::string error;
  ASSERT_TRUE(file_.Save(Awkward(), &error)) << error;
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  root_.WriteFile("/state.tmp-Zz0123", "left by a save cut short");
  ASSERT_TRUE(StateFile(path_).Load(&settings_, &notes_, 1000));
  EXPECT_EQ(settings_, Awkward());
  EXPECT_FALSE(root_.Exists("/state.tmp-Zz0123"));
  g_sync_folder_for_tests = [](int) { errno = EIO; return -1; };
  const bool saved = file_.Save(ServiceSettings::Defaults(), &error);
  g_sync_folder_for_tests = nullptr;
  EXPECT_TRUE(saved);
  EXPECT_NE(error.find(": cannot sync: "), std::string::npos) << error;
  ASSERT_TRUE(file_.Load(&settings_, &notes_, 1000));
  EXPECT_EQ(settings_, ServiceSettings::Defaults());
  ASSERT_EQ(rename(path_.c_str(), (path_ + ".old").c_str()), 0);
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  EXPECT_FALSE(file_.Save(ServiceSettings::Defaults(), &error));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_.dir()), {}), 2);
}

// A file that is no state file is set aside whole and the defaults apply.
// In a damaged one (hand edits among them) each bad line is named by its
// number and its key keeps the default; CRs and blanks ending lines, and
// blank lines, are no damage. The file as it was is set aside, never over
// an earlier casualty from the same second, and the good lines saved again.
TEST_F(StateFileTest, DamagedFileKeepsEveryGoodLine) {
  const std::string good = FormatState(Awkward());
  std::string crlf;
  for (char c : good) crlf += c == '\n' ? std::string(" \t\r\n\n") : std::string(1, c);
  ServiceSettings defaults = ServiceSettings::Defaults(), bad_reboot = Awkward(),
                  bad_bool = Awkward(), bad_int = Awkward(), bad_text = Awkward(),
                  status_1 = Awkward();
  bad_reboot.reboot = 0;
  bad_bool.update[0] = "0";
  bad_int.update[1] = "0";
  bad_text.download[10] = "";
  status_1.status = 1;
  const struct { std::string text; const ServiceSettings* kept; std::string said; } cases[] = {
      {Edit(good, "state " + std::to_string(kStateVersion), "state 0"), &defaults,
       "no version line"},
      {Edit(crlf, "Reboot=8000A001", "Reboot=8000A00x"), &bad_reboot,
       "line 5: Reboot is not 1 to 8 hex digits"},
      {Edit(good, "IsAutoSetting=1", "IsAutoSetting=2"), &bad_bool, "invalid update.IsAutoSet"},
      {Edit(good, "RepeatType=-5", "RepeatType=five"), &bad_int, "invalid update.RepeatType"},
      {Edit(good, "pass word", "pass\\q"), &bad_text, "line 14: malformed line"},
      {Edit(good, "pass word", "pass\x01word"), &bad_text, "line 14: malformed"},
      {Edit(good, "Status=BEEF\n", "Status=BEEF\nStatus=0000\n"), nullptr,
       "line 3: key Status given again (first on line 2)"},
      {Edit(good, "Status=BEEF\n", "Unknown=1\nStatus=BEEF\n"), nullptr, "line 2: unknown key"},
      {good + "\nmore\n", nullptr, "text after the end line"},
      {Edit(good, "Status=BEEF", "Status=1"), &status_1, "line"},
  };
  size_t casualties = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(EscapeLine(c.text));
    root_.WriteFile("/state", c.text);
    ASSERT_TRUE(file_.Load(&settings_, &notes_, 1234));
    EXPECT_EQ(settings_, c.kept == nullptr ? Awkward() : *c.kept);
    const bool damaged = c.kept != &status_1;
    EXPECT_EQ(Notes().find(c.said) != std::string::npos, damaged) << Notes();
    if (!damaged) continue;
    std::string aside = "/state.corrupt-1234" +
                        (casualties > 0 ? "." + std::to_string(casualties) : "");
    ++casualties;
    EXPECT_NE(Notes().find(root_.PathOf(aside)), std::string::npos) << Notes();
    EXPECT_EQ(root_.ReadFile(aside), c.text);
    EXPECT_EQ(root_.ReadFile("/state"), c.kept == &defaults ? "" : FormatState(settings_));
  }
}

// A file cut short anywhere (every third byte: each save syncs) is never
// taken for whole: each setting is what was saved or its default, and the
// cut is named.
TEST_F(StateFileTest, CutFileKeepsNoCutValue) {
  const std::string good = FormatState(Awkward());
  const ServiceSettings saved = Awkward(), defaults = ServiceSettings::Defaults();
  for (size_t size = 0; size + 1 < good.size(); size += 3) {
    root_.WriteFile("/state", good.substr(0, size));
    ASSERT_TRUE(file_.Load(&settings_, &notes_, 1234));
    EXPECT_FALSE(notes_.empty()) << size;
    for (size_t n = 0; n < kStoredSettingCount; ++n) {
      const StoredSetting& setting = kStoredSettings[n];
      if (setting.number != nullptr) {
        uint32_t value = settings_.*setting.number;
        EXPECT_TRUE(value == saved.*setting.number || value == defaults.*setting.number) << size;
        continue;
      }
      for (size_t i = 0; i < setting.fields->count; ++i) {
        const std::string& value = (settings_.*setting.list)[i];
        EXPECT_TRUE(value == (saved.*setting.list)[i] || value == (defaults.*setting.list)[i])
            << size << " " << setting.key << "." << i;
      }
    }
  }
}

// A key the file lacks (an older version did not write it) takes its
// default; keys of a newer version are kept and saved again, in their order
// and under its version. Nothing is set aside.
TEST_F(StateFileTest, MissingKeysTakeDefaultsAndNewerKeysAreKept) {
  const std::string now = "state " + std::to_string(kStateVersion) + "\n";
  const std::string next = "state " + std::to_string(kStateVersion + 1) + "\n";
  const std::string text = FormatState(Awkward());
  root_.WriteFile("/state", Edit(Edit(Edit(text, "Reboot=8000A001\n", ""), now, next + "Later=1\n"),
                                 "end", "zz.Later=a\\x01\nend"));
  ServiceSettings expected = Awkward();
  expected.reboot = 0;
  expected.later = {kStateVersion + 1, {{"Later", "1"}, {"zz.Later", "a\x01"}}};
  ASSERT_TRUE(file_.Load(&settings_, &notes_, 1234));
  EXPECT_EQ(Notes(), "");
  EXPECT_EQ(settings_, expected);
  EXPECT_EQ(FormatState(expected), Edit(Edit(Edit(text, "Reboot=8000A001", "Reboot=00000000"), now,
                                             next), "end", "Later=1\nzz.Later=a\\x01\nend"));
}

// Settings differ when any one member the state file keeps differs, so that
// no comparison of states (here and in the fuzz target) misses a field.
TEST(SettingsTest, DifferInEveryKeptMember) {
  for (size_t n = 0; n < kStoredSettingCount; ++n) {
    const StoredSetting& setting = kStoredSettings[n];
    ServiceSettings other = Awkward();
    if (setting.list != nullptr) (other.*setting.list).back() += "x";
    if (setting.list == nullptr) other.*setting.number += 1;
    EXPECT_FALSE(other == Awkward()) << setting.key;
  }
}

}  // namespace
}  // namespace service
}  // namespace qmx
