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
#include "tests/support/wire_lists.h"

namespace qmx {
namespace service {
namespace {

// settings with the field key ("list.Name") set to value.
ServiceSettings With(ServiceSettings settings, const std::map<std::string, std::string>& values) {
  for (size_t n = 0; n < kStoredSettingCount; ++n) {
    const StoredSetting& row = kStoredSettings[n];
    for (size_t i = 0; row.list != nullptr && i < row.fields->count; ++i) {
      const auto value = values.find(row.key + std::string(".") + row.fields->fields[i].name);
      if (value != values.end()) (settings.*row.list)[i] = value->second;
    }
  }
  return settings;
}

ServiceSettings Awkward() {
  ServiceSettings settings = With(ServiceSettings::Defaults(),
                                  {{"download.WebSiteUrl", "http://a;b=c\\d\nend\n\x01\x7f\xc3\xa9"},
                                   {"download.ProxyPassword", "pass word\t  "},
                                   {"update.IsAutoSetting", "1"}, {"update.RepeatType", "-5"},
                                   {"update.DayOfWeek", "Mon"}, {"update.Time", "23:59"}});
  settings.status = 0xBEEF;
  settings.reboot = 0x8000A001u;
  return settings;
}

// "line <n>", n the line of text that holds key's value.
std::string LineOf(const std::string& text, const std::string& key) {
  const auto at = text.begin() + text.find("\n" + key + "=");
  return "line " + std::to_string(std::count(text.begin(), at, '\n') + 2);
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
                  bad_bool = With(Awkward(), {{"update.IsAutoSetting", "0"}}),
                  bad_int = With(Awkward(), {{"update.RepeatType", "0"}}),
                  bad_text = With(Awkward(), {{"download.ProxyPassword", ""}}), status_1 = Awkward(),
                  cut = With(Awkward(), {{"update.Time", ""}});
  bad_reboot.reboot = 0;
  status_1.status = 0xA1;
  const std::string password = LineOf(good, "download.ProxyPassword");
  const struct { std::string text; const ServiceSettings* kept; std::string said; } cases[] = {
      {Edit(good, "state " + std::to_string(kStateVersion), "state 0"), &defaults,
       "no version line"},
      {good + std::string(1 << 20, '\n'), &defaults, "larger than the limit of 1 MiB"},
      {Edit(crlf, "Reboot=8000A001", "Reboot=8000A00x"), &bad_reboot,
       LineOf(crlf, "Reboot") + ": Reboot is not 1 to 8 hex digits"},
      {Edit(good, "IsAutoSetting=1", "IsAutoSetting=2"), &bad_bool, "invalid update.IsAutoSet"},
      {Edit(good, "RepeatType=-5", "RepeatType=five"), &bad_int, "invalid update.RepeatType"},
      {Edit(good, "pass word", "pass\\q"), &bad_text, password + ": malformed line"},
      {Edit(good, "pass word", "pass\x01word"), &bad_text, password + ": malformed"},
      {Edit(good, "pass word", "pass\x7fword"), &bad_text, password + ": malformed"},
      {Edit(good, "pass word", std::string(70000, 'p')), &bad_text,
       password + ": download.ProxyPassword too long to be sent back"},
      {Edit(good, "Status=BEEF\n", "Status=BEEF\nStatus=0000\n"), nullptr,
       LineOf(good, "Reboot") + ": key Status given again (first on " + LineOf(good, "Status") + ")"},
      {Edit(good, "Status=BEEF\n", "Unknown=1\nStatus=BEEF\n"), nullptr,
       LineOf(good, "Status") + ": unknown key"},
      {good + "\nmore\n", nullptr, "text after the end line"},
      {Edit(good, "end\n", ""), nullptr,
       "line " + std::to_string(std::count(good.begin(), good.end(), '\n')) + ": no end line"},
      {Edit(good, "23:59\nend\n", "23:5"), &cut,
       LineOf(good, "update.Time") + ": cut short"},
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
// (states/<version>) is read without a problem line and saved again with
// every line it holds (but for blanks ending a line, which 42.0 wrote as
// they were and a reader now takes for an editor's). A key this version's
// tables date at or before a file's version must be in that file, so that
// a key added without the next version as its since fails here.
TEST_F(StateFileTest, EachReleasedVersionsFileIsReadWhole) {
  const std::string folder = QMX_STATE_FILES "/";
#ifndef QMX_TEST_EXTRA_STATE_KEY  // a build with it is one version past every file
  ASSERT_TRUE(std::filesystem::exists(folder + std::to_string(kStateVersion)))
      << "commit the state file this version writes as tests/service/states/" << kStateVersion;
#endif
  for (uint32_t version = 1; std::filesystem::exists(folder + std::to_string(version)); ++version) {
    SCOPED_TRACE("tests/service/states/" + std::to_string(version));
    const std::string text = support::ReadWholeFile(folder + std::to_string(version));
    for (size_t n = 0; n < kStoredSettingCount; ++n) {
      const StoredSetting& row = kStoredSettings[n];
      for (size_t i = 0; i < (row.list == nullptr ? 1 : row.fields->count); ++i) {
        const Field* field = row.list == nullptr ? nullptr : &row.fields->fields[i];
        const std::string key = row.key + (field ? std::string(".") + field->name : "");
        const uint32_t since = std::max(row.since == kOnePastTheRest ? kStateVersion : row.since,
                                        field ? field->since : 0);
        EXPECT_EQ(text.find("\n" + key + "=") != std::string::npos, since <= version)
            << key << " dated " << since << ": a key new to this version takes the next as since";
      }
    }
    root_.WriteFile("/state", text);
    ASSERT_TRUE(file_.Load(&settings_, &notes_, 1234));
    EXPECT_EQ(Notes(), "");
    const std::string saved = FormatState(settings_);
    std::istringstream lines(text.substr(text.find('\n')));
    for (std::string line; std::getline(lines, line);) {
      line = line.substr(0, line.find_last_not_of(' ') + 1);
      EXPECT_NE(saved.find(line + "\n"), std::string::npos) << line;
    }
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

}  // namespace
}  // namespace service
}  // namespace qmx
