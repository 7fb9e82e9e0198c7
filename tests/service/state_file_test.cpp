// The state file: any values survive a save and a load, a damaged or cut
// file is never taken for whole, a failed save leaves the old file, and the
// file stays private.

#include "service/state_file.h"

#include <sys/stat.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "service/files.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace service {
namespace {

ServiceSettings Awkward() {
  ServiceSettings settings = ServiceSettings::Defaults();
  settings.download[6] = "http://a;b=c\\d\nend\n\x01\x7f\xc3\xa9";
  settings.download[10] = "pass word\t";
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
  std::string note_;
};

// A temporary file a save cut short left is removed at the next load. A
// folder in the state's place makes the save fail even as root, and leaves
// no temporary file behind.
TEST_F(StateFileTest, SavesPrivatelyAndLoadsWhatItSaved) {
  std::string error;
  ASSERT_TRUE(file_.Save(Awkward(), &error)) << error;
  struct stat info;
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  root_.WriteFile("/state.tmp-Zz0123", "left by a save cut short");
  ASSERT_TRUE(StateFile(path_).Load(&settings_, &note_, 1000));
  EXPECT_EQ(settings_, Awkward());
  EXPECT_FALSE(root_.Exists("/state.tmp-Zz0123"));
  ASSERT_EQ(rename(path_.c_str(), (path_ + ".old").c_str()), 0);
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  EXPECT_FALSE(file_.Save(ServiceSettings::Defaults(), &error));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_.dir()), {}), 2);
}

// A damaged or cut file is never taken for whole: it is set aside, never
// over an earlier casualty from the same second, and the defaults apply.
TEST_F(StateFileTest, DamagedOrCutFileIsSetAside) {
  const std::string good = FormatState(Awkward());
  std::vector<std::string> damaged = {
      Edit(good, "state " + std::to_string(kStateVersion), "state 0"),
      Edit(good, "Reboot=8000A001", "Reboot=8000A00x"),
      Edit(good, "IsAutoSetting=0", "IsAutoSetting=2"),
      Edit(good, "RepeatType=-5", "RepeatType=five"),
      Edit(good, "pass word", "pass\\q"),
      Edit(good, "pass word", "pass\x01word"),
      Edit(good, "Status=BEEF\n", "Status=BEEF\nStatus=0000\n"),
      Edit(good, "Status=BEEF\n", "Unknown=1\nStatus=BEEF\n"),
      good + "more\n",
  };
  for (size_t size = 0; size + 1 < good.size(); ++size) damaged.push_back(good.substr(0, size));
  for (size_t i = 0; i < damaged.size(); ++i) {
    root_.WriteFile("/state", damaged[i]);
    settings_ = Awkward();
    ASSERT_TRUE(file_.Load(&settings_, &note_, 1234));
    EXPECT_EQ(settings_, ServiceSettings::Defaults()) << EscapeLine(damaged[i]);
    std::string aside = "/state.corrupt-1234" + (i > 0 ? "." + std::to_string(i) : "");
    EXPECT_NE(note_.find(root_.PathOf(aside)), std::string::npos) << note_;
    EXPECT_EQ(root_.ReadFile(aside), damaged[i]);
    EXPECT_FALSE(root_.Exists("/state"));
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
  ASSERT_TRUE(file_.Load(&settings_, &note_, 1234));
  EXPECT_EQ(note_, "");
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
