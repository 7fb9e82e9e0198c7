// The state file: any values survive a save and a load, a damaged or cut
// file is never taken for whole, yet every good line of it is kept; a failed
// save leaves the old file, and the file stays private. (A stop at any
// moment of a save or a repair is the fault tests' business.)

#include "service/state_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "common/safe_files.h"
#include "gtest/gtest.h"
#include "service/files.h"
#include "service/protocol.h"
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
  EXPECT_EQ(std::filesystem::status(path_).permissions(), std::filesystem::perms(0600));
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
  ASSERT_EQ(rename(path_.c_str(), (path_ + ".old").c_str()) | mkdir(path_.c_str(), 0700), 0);
  EXPECT_FALSE(file_.Save(ServiceSettings::Defaults(), &error));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_.dir()), {}), 2);
}

// A file that is no state file is set aside whole and the defaults apply.
// In a damaged one (hand edits among them) each bad line is named by its
// number and its key keeps the default, as does a value too long to be sent
// back; CRs and blanks ending lines, blank lines, a byte order mark and
// blanks before the version line and a number of fewer hex digits in
// either case are no damage. The file as it was is copied aside, never over
// an earlier casualty from the same second, and the good lines saved again.
TEST_F(StateFileTest, DamagedFileKeepsEveryGoodLine) {
  const std::string good = FormatState(Awkward());
  std::string crlf;
  for (char c : good) crlf += c == '\n' ? std::string(" \t\r\n\n") : std::string(1, c);
  ServiceSettings defaults = ServiceSettings::Defaults(), bad_reboot = Awkward(),
                  bad_bool = Awkward(), bad_int = Awkward(), bad_text = Awkward(),
                  status_1 = Awkward(), cut = Awkward();
  bad_reboot.reboot = 0;
  cut.update[4] = "";
  bad_bool.update[0] = "0";
  bad_int.update[1] = "0";
  bad_text.download[10] = "";
  status_1.status = 0xA1;
  const struct { std::string text; const ServiceSettings* kept; std::string said; } cases[] = {
      {Edit(good, "state " + std::to_string(kStateVersion), "state 0"), &defaults,
       "no version line"},
      {good + std::string(1 << 20, '\n'), &defaults, "larger than the limit of 1 MiB"},
      {Edit(crlf, "Reboot=8000A001", "Reboot=8000A00x"), &bad_reboot,
       "line 5: Reboot is not 1 to 8 hex digits"},
      {Edit(good, "IsAutoSetting=1", "IsAutoSetting=2"), &bad_bool, "invalid update.IsAutoSet"},
      {Edit(good, "RepeatType=-5", "RepeatType=five"), &bad_int, "invalid update.RepeatType"},
      {Edit(good, "pass word", "pass\\q"), &bad_text, "line 14: malformed line"},
      {Edit(good, "pass word", "pass\x01word"), &bad_text, "line 14: malformed"},
      {Edit(good, "pass word", "pass\x7fword"), &bad_text, "line 14: malformed"},
      {Edit(good, "pass word", std::string(70000, 'p')), &bad_text,
       "line 14: download.ProxyPassword too long to be sent back"},
      {Edit(good, "Status=BEEF\n", "Status=BEEF\nStatus=0000\n"), nullptr,
       "line 3: key Status given again (first on line 2)"},
      {Edit(good, "Status=BEEF\n", "Unknown=1\nStatus=BEEF\n"), nullptr, "line 2: unknown key"},
      {good + "\nmore\n", nullptr, "text after the end line"},
      {Edit(good, "end\n", ""), nullptr,
       "line " + std::to_string(std::count(good.begin(), good.end(), '\n')) + ": no end line"},
      {Edit(good, "23:59\nend\n", "23:5"), &cut,
       "line " + std::to_string(std::count(good.begin(), good.end(), '\n') - 1) + ": cut short"},
      {"\xEF\xBB\xBF\r\n \t" + Edit(good, "Status=BEEF", "Status=a1"), &status_1, "line"},
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

// A file of the next version: a key it lacks (an older version did not
// write it), a number or a list's field, takes its default; a key and a
// list's field that version added (one another list has) are kept and
// saved again, in their order and under its version, so that a downgrade
// and an upgrade lose nothing. Nothing is set aside.
TEST_F(StateFileTest, MissingKeysTakeDefaultsAndNewerKeysAreKept) {
  const std::string now = "state " + std::to_string(kStateVersion) + "\n";
  const std::string next = "state " + std::to_string(kStateVersion + 1) + "\n";
  const std::string text = FormatState(Awkward());
  const std::string older = Edit(Edit(text, "Reboot=8000A001\n", ""), "update.Time=23:59\n", "");
  const std::string later = "download.ExternalMediaPath=a\\x01\nLater=1\nend";
  root_.WriteFile("/state", Edit(Edit(older, now, next), "end", later));
  ServiceSettings expected = Awkward();
  expected.reboot = 0;
  expected.update.back() = "";
  expected.later = {kStateVersion + 1, {{"download.ExternalMediaPath", "a\x01"}, {"Later", "1"}}};
  ASSERT_TRUE(file_.Load(&settings_, &notes_, 1234));
  EXPECT_EQ(Notes(), "");
  EXPECT_EQ(settings_, expected);
  EXPECT_EQ(FormatState(settings_),
            Edit(Edit(Edit(Edit(text, "Reboot=8000A001", "Reboot=00000000"), "Time=23:59", "Time="),
                      now, next),
                 "end", later));
}

// The state file of every released version as its service wrote it
// (states/<version>), with the lists it had been sent there.
const struct { uint32_t version; std::map<std::string, std::string> sent; } kReleased[] = {
    // 42.0. The password was sent with two blanks after it, which that
    // version wrote as they were and a reader now takes for an editor's.
    {1, {{"download", "1;-2147483648;Mon@@@@Tue;2024/01/31;03:00;7;http://a\\b=c;proxy \xc3\xa9;"
                      "8080;user\t;p w;\\\\cache\nend\n;;\x7f\x01;E"},
         {"update", "0;2147483647;Sunday;;23:59"}}},
};

// Each is read without a problem line: every field it holds has the value
// sent, every key it lacks its default. A key this version's tables date
// at or before a file's version must be in that file, so that a key added
// without the next version as its since fails here.
TEST_F(StateFileTest, EachReleasedVersionsFileIsReadWithWhatItWasSent) {
#ifndef QMX_TEST_EXTRA_STATE_KEY  // a build with it is one version past every file
  ASSERT_EQ(std::size(kReleased), kStateVersion) << "commit the state file this version writes";
#endif
  for (const auto& file : kReleased) {
    SCOPED_TRACE(file.version);
    const std::string text =
        support::ReadWholeFile(QMX_STATE_FILES "/" + std::to_string(file.version));
    ServiceSettings expected = ServiceSettings::Defaults();
    for (size_t n = 0; n < kStoredSettingCount; ++n) {
      const StoredSetting& row = kStoredSettings[n];
      const auto list = file.sent.find(row.key);
      const std::vector<std::string> sent =
          DecodeValues(list == file.sent.end() ? "" : list->second);
      for (size_t i = 0, taken = 0; i < (row.list == nullptr ? 1 : row.fields->count); ++i) {
        const Field* field = row.list == nullptr ? nullptr : &row.fields->fields[i];
        const std::string key = row.key + (field ? std::string(".") + field->name : "");
        const uint32_t since = std::max(row.since == kOnePastTheRest ? kStateVersion : row.since,
                                        field ? field->since : 0);
        EXPECT_EQ(text.find("\n" + key + "=") != std::string::npos, since <= file.version)
            << key << " dated " << since << ": a key new to this version takes the next as since";
        if (taken < sent.size() && since <= file.version) (expected.*row.list)[i] = sent[taken++];
      }
    }
    root_.WriteFile("/state", text);
    ASSERT_TRUE(file_.Load(&settings_, &notes_, 1234));
    EXPECT_EQ(Notes(), "");
    EXPECT_EQ(settings_, expected);
  }
}

// The state version is the newest since of the keys and of their lists'
// fields, and the test-only key's one past that.
TEST(SettingsTest, StateVersionFollowsTheNewestKeyOrField) {
  const Field fields[] = {{"New", FieldType::kInt, 3}, {"Old", FieldType::kText, 1}};
  const FieldList list = {fields, std::size(fields)};
  const StoredSetting rows[] = {
      {"number", 2, &ServiceSettings::status, 4, nullptr, nullptr},
      {"list", 1, nullptr, 0, &ServiceSettings::update, &list},
      {"test", kOnePastTheRest, &ServiceSettings::reboot, 8, nullptr, nullptr}};
  EXPECT_EQ(StateVersionOf(rows, 0), 0u);
  EXPECT_EQ(StateVersionOf(rows, 1), 2u);
  EXPECT_EQ(StateVersionOf(rows, 2), 3u);
  EXPECT_EQ(StateVersionOf(rows, 3), 4u);
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
