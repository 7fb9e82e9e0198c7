// The method list is kept by the schema and the provider's dispatch table;
// every other copy outside the library is held to it here: the tests'
// method table, the service's kinds, the pages a user reads, the demo, the
// package tests' method loop and the fuzz seeds. The settings lists of
// both sides are held to the schema's classes the same way, and the
// programs' options and exit statuses to their manual pages. Each failure
// names the method, field, option or status and the place that lacks it.

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "provider/SettingsFields.h"
#include "service/request_handler.h"
#include "service/settings.h"
#include "tests/support/child_process.h"
#include "tests/support/method_table.h"

namespace {

using qmx::support::kMethods;
using qmx::support::MethodEntry;

std::string ReadText(const std::string& path) {
  std::ifstream file(path);
  EXPECT_TRUE(file.good()) << path;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string Source(const std::string& relative) {
  return std::string(QMX_SOURCE_DIR) + "/" + relative;
}

std::vector<std::string> SchemaMethods() {
  std::string text = ReadText(QMX_SCHEMA_FILE);
  text = text.substr(text.find("class VELTRAX_UpdateManager {"));
  const std::regex declaration(R"(uint32 (\w+)\()");
  std::vector<std::string> methods;
  for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it) {
    methods.push_back((*it)[1]);
  }
  return methods;
}

// The properties of a schema class, its parent's first.
std::vector<std::string> Properties(const std::string& name) {
  static const std::string schema = ReadText(QMX_SCHEMA_FILE);
  std::smatch found;
  const std::regex body("class " + name + R"((?: : (\w+))? \{([^}]*)\};)");
  if (!std::regex_search(schema, found, body)) {
    ADD_FAILURE() << "the schema has no class " << name;
    return {};
  }
  std::vector<std::string> names = found[1].matched ? Properties(found[1]) : std::vector<std::string>{};
  const std::string members = found[2];
  const std::regex property(R"(\b(?:boolean|sint32|uint32|string) (\w+);)");
  for (std::sregex_iterator it(members.begin(), members.end(), property), end; it != end; ++it) {
    names.push_back((*it)[1]);
  }
  return names;
}

std::vector<std::string> Names(const CFieldTable& fields) {
  std::vector<std::string> names;
  for (const CSettingField& field : fields) names.push_back(field.pszName);
  return names;
}

std::vector<std::string> Names(const qmx::service::FieldList& list) {
  std::vector<std::string> names;
  for (size_t i = 0; i < list.count; ++i) names.push_back(list.fields[i].name);
  return names;
}

std::vector<std::string> Concat(std::vector<std::string> first, const std::vector<std::string>& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

// Both sides join an object's properties in the schema's order; the
// download lists carry the schedule first, then the setting.
TEST(RegistryTest, TheSettingsListsCarryTheSchemaPropertiesInOrder) {
  const std::vector<std::string> update = Properties("Veltrax_UpdateSchedule");
  const std::vector<std::string> setting = Properties("Veltrax_DownloadSetting");
  const struct {
    const char* list;
    std::vector<std::string> fields, properties;
  } cases[] = {
      {"provider kScheduleFields (update)", Names(kScheduleFields), update},
      {"provider kScheduleFields (download)", Names(kScheduleFields),
       Properties("Veltrax_DownloadSchedule")},
      {"provider kDownloadSettingFields", Names(kDownloadSettingFields), setting},
      {"provider kDownloadAllFields", Names(kDownloadAllFields),
       Properties("Veltrax_DownloadAllSetting")},
      {"service kUpdateScheduleFields", Names(qmx::service::kUpdateScheduleFields), update},
      {"service kDownloadScheduleFields", Names(qmx::service::kDownloadScheduleFields),
       Concat(Properties("Veltrax_DownloadSchedule"), setting)},
      {"service kManualDownloadFields", Names(qmx::service::kManualDownloadFields),
       Properties("Veltrax_DownloadAllSetting")},
  };
  for (const auto& test : cases) EXPECT_EQ(test.properties, test.fields) << test.list;
}

// Rows are appended only (a fuzz seed's first byte is its row), and so are
// the schema's methods.
TEST(RegistryTest, TheMethodTableListsTheSchemaMethodsInOrder) {
  std::vector<std::string> table;
  for (const MethodEntry& method : kMethods) table.push_back(method.name);
  EXPECT_EQ(SchemaMethods(), table) << "tests/support/method_table.h against the schema";
}

TEST(RegistryTest, TheServiceKnowsExactlyTheKindsTheProviderSends) {
  std::set<std::string> sent;
  for (const MethodEntry& method : kMethods) {
    if (*method.kind != '\0') sent.insert(method.kind);
  }
  const std::vector<std::string> kinds = qmx::service::RequestKinds();
  const std::set<std::string> answered(kinds.begin(), kinds.end());
  EXPECT_EQ(answered.size(), kinds.size()) << "a kind is twice in the service's table";
  for (const std::string& kind : sent) {
    EXPECT_EQ(1u, answered.count(kind)) << "service/request_handler.cpp has no row for " << kind;
  }
  for (const std::string& kind : answered) {
    EXPECT_EQ(1u, sent.count(kind)) << "the service answers " << kind << ", which no method sends";
  }
}

// Where a user or a test meets the methods one by one: the part of each
// file that lists them. README's wire table has a row with each sending
// method and its kind.
TEST(RegistryTest, EveryPlaceThatListsTheMethodsNamesEachOne) {
  const struct {
    const char* file;
    const char* from;  // where the list begins
    const char* to;    // and ends (null: the file's end)
  } places[] = {
      {"README.md", "| method | kind |", "\n\n"},
      {"packaging/man/qmx-call.1", "The methods of VELTRAX_UpdateManager are", "\n."},
      {"scripts/demo", "step 0", "\n}"},
      {"tests/support/method_calls.sh", "store_settings()", nullptr},
  };
  for (const auto& place : places) {
    const std::string text = ReadText(Source(place.file));
    const size_t from = text.find(place.from);
    ASSERT_NE(std::string::npos, from) << place.file << " lacks \"" << place.from << "\"";
    const size_t to = place.to == nullptr ? text.size() : text.find(place.to, from);
    const std::string list = text.substr(from, to - from);
    for (const MethodEntry& method : kMethods) {
      EXPECT_NE(std::string::npos, list.find(method.name)) << place.file << " lacks " << method.name;
    }
  }
  const std::string readme = ReadText(Source("README.md"));
  for (const MethodEntry& method : kMethods) {
    if (*method.kind == '\0') continue;
    const std::regex row("\\n\\|[^\\n]*\\b" + std::string(method.name) + "\\b[^\\n]*`" +
                         method.kind + "`");
    EXPECT_TRUE(std::regex_search(readme, row))
        << "README.md's wire table lacks " << method.name << " with `" << method.kind << "`";
  }
}

// The text from "from" to the next manual page section; "" without it.
std::string Part(const std::string& text, const std::string& from) {
  const size_t at = text.find(from);
  return at == std::string::npos ? "" : text.substr(at, text.find("\n.SH", at + 1) - at);
}

// What group of each match of pattern in text holds.
std::set<std::string> Matches(const std::string& text, const char* pattern, int group = 0) {
  const std::regex regex(pattern);
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), regex), end; it != end; ++it) {
    found.insert((*it)[group]);
  }
  return found;
}

// The options a text names, as "--name": roff writes "\-".
std::set<std::string> Options(const std::string& text) {
  return Matches(std::regex_replace(text, std::regex(R"(\\-)"), "-"), "--[a-z][a-z-]*");
}

TEST(RegistryTest, EachProgramsHelpNamesTheOptionsAndStatusesOfItsManualPage) {
  const struct { const char* program; const char* page; } programs[] = {
      {QMX_CALL_PATH, "packaging/man/qmx-call.1"},
      {QMXUPDTMNGR_PATH, "packaging/man/qmxupdtmngr.8"},
  };
  for (const auto& program : programs) {
    const std::string page = ReadText(Source(program.page));
    ASSERT_NE(Part(page, ".SH OPTIONS"), "") << program.page;
    const qmx::support::CommandResult help = qmx::support::RunCommand({{program.program, "--help"}, {}});
    EXPECT_EQ(Options(Part(page, ".SH OPTIONS")), Options(help.out))
        << program.page << " against " << program.program << " --help";
    // The manual page gives each status a paragraph (".TP", then ".B n").
    EXPECT_EQ(Matches(Part(page, ".SH EXIT STATUS"), R"(\.TP\n\.B (\d+)\n)", 1),
              Matches(Part(help.out, "Exit status:"), R"(\b(\d+)\b)", 1))
        << program.page << " against " << program.program << " --help";
  }
}

TEST(RegistryTest, EveryKindHasFuzzSeeds) {
  for (const MethodEntry& method : kMethods) {
    if (*method.kind == '\0') continue;
    const std::string kind = method.kind;
    for (const std::string& seed : {"fuzz/corpus/fuzz_reply/" + kind + "_ok",
                                    "fuzz/corpus/fuzz_service_request/" + kind}) {
      struct stat info;
      EXPECT_EQ(0, stat(Source(seed).c_str(), &info)) << "no seed " << seed;
    }
  }
}

}  // namespace
