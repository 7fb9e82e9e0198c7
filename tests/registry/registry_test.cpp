// The method list is kept by the schema and the provider's dispatch table;
// every other copy outside the library is held to it here: the samples,
// the service's kinds, the pages a user reads and the demo. The settings lists of both sides are held to the
// schema's classes, names and types; every table a page keeps (result
// codes, trace messages, journaled kinds, message bodies, the state
// version, exit statuses and options) to the code or the samples; and the
// lists' fingerprint to the packages' WIRE_VERSION. Each failure names the
// method, field, code or status and the place that lacks it.

#include <algorithm>
#include <cstdio>
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
#include "tests/support/samples.h"

namespace {

using qmx::support::Sample;
using qmx::support::Samples;

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

// Each field as "Name type"; both sides' types are declared in this order.
const char* const kTypeNames[] = {" boolean", " integer", " text"};

// The properties of a schema class, its parent's first, each as "Name type"
// with the type as the lists know it.
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
  const std::regex property(R"(\b(boolean|sint32|uint32|string) (\w+);)");
  for (std::sregex_iterator it(members.begin(), members.end(), property), end; it != end; ++it) {
    const std::string type = (*it)[1];
    names.push_back((*it)[2].str() + kTypeNames[type == "boolean" ? 0 : type == "string" ? 2 : 1]);
  }
  return names;
}

std::vector<std::string> Names(const CFieldTable& fields) {
  std::vector<std::string> names;
  for (const CSettingField& field : fields) {
    names.push_back(field.pszName + std::string(kTypeNames[static_cast<int>(field.eType)]));
  }
  return names;
}

std::vector<std::string> Names(const qmx::service::FieldList& list) {
  std::vector<std::string> names;
  for (size_t i = 0; i < list.count; ++i) {
    names.push_back(list.fields[i].name + std::string(kTypeNames[static_cast<int>(list.fields[i].type)]));
  }
  return names;
}

std::vector<std::string> Concat(std::vector<std::string> first, const std::vector<std::string>& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

// Both sides join an object's properties in the schema's order, each of its
// type; the download lists carry the schedule first, then the setting.
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

// Where a user or a test meets the methods one by one: the samples call
// the schema's methods in its order, and the part of each file that lists
// them names every one.
TEST(RegistryTest, EveryPlaceThatListsTheMethodsNamesEachOne) {
  std::vector<std::string> sampled;
  for (const Sample& sample : Samples()) sampled.push_back(sample.method);
  EXPECT_EQ(SchemaMethods(), sampled) << "tests/samples/methods against the schema";
  const struct {
    const char* file;
    const char* from;  // where the list begins
    const char* to;    // and ends (null: the file's end)
  } places[] = {
      {"README.md", "| method | kind |", "\n\n"},
      {"packaging/man/qmx-call.1", "The methods of VELTRAX_UpdateManager are", "\n."},
      {"scripts/demo", "step 0", "\n}"},
  };
  for (const auto& place : places) {
    const std::string text = ReadText(Source(place.file));
    const size_t from = text.find(place.from);
    ASSERT_NE(std::string::npos, from) << place.file << " lacks \"" << place.from << "\"";
    const size_t to = place.to == nullptr ? text.size() : text.find(place.to, from);
    const std::string list = text.substr(from, to - from);
    for (const Sample& sample : Samples()) {
      EXPECT_NE(std::string::npos, list.find(sample.method)) << place.file << " lacks " << sample.method;
    }
  }
}

// The values a column of README's wire table names: "none", or objects and
// single values joined by ", then ".
size_t ValuesNamed(std::string column) {
  if (column.rfind("none", 0) == 0) return 0;
  const std::pair<const char*, const char*> objects[] = {
      {"the download schedule", "Veltrax_DownloadSchedule"},
      {"the update schedule", "Veltrax_UpdateSchedule"},
      {"the download setting", "Veltrax_DownloadSetting"}};
  size_t count = 0;
  for (size_t then = 0; then != std::string::npos; column = column.substr(then + 7)) {
    then = column.find(", then ");
    size_t values = 1;
    for (const auto& [words, schema_class] : objects) {
      if (column.substr(0, then) == words) values = Properties(schema_class).size();
    }
    count += values;
  }
  return count;
}

size_t ValuesIn(const std::string& message) {
  const std::string body = message.substr(std::min<size_t>(16, message.size()));
  return body.empty() ? 0 : std::count(body.begin(), body.end(), ';') + 1;
}

// README's wire table has a row with each sending method and its kind, and
// its request and reply columns name as many values as the sample carries.
TEST(RegistryTest, TheWireTableDescribesEachSamplesMessages) {
  const std::string readme = ReadText(Source("README.md"));
  for (const Sample& sample : Samples()) {
    if (sample.request.empty()) continue;
    std::smatch row;
    const std::regex pattern("\\n\\|[^\\n]*\\b" + sample.method + "\\b[^\\n]*`" + sample.kind() +
                             "` \\| ([^|]*) \\| ([^|]*) \\|");
    if (!std::regex_search(readme, row, pattern)) {
      ADD_FAILURE() << "README.md's wire table lacks " << sample.method << " with `" << sample.kind() << "`";
      continue;
    }
    EXPECT_EQ(ValuesNamed(row[1]), ValuesIn(sample.request))
        << "README.md says \"" << row[1] << "\" for the request of " << sample.method;
    EXPECT_EQ(ValuesNamed(row[2]), sample.method == "GetQmxStatus" ? 0 : ValuesIn(sample.reply))
        << "README.md says \"" << row[2] << "\" for the reply of " << sample.method;
  }
}

// The text from "from" to the next manual page section; "" without it.
std::string Part(const std::string& text, const std::string& from) {
  const size_t at = text.find(from);
  return at == std::string::npos ? "" : text.substr(at, text.find("\n.SH", at + 1) - at);
}

// What group of each match of pattern in text holds; group -1: its groups
// joined by blanks.
std::set<std::string> Matches(const std::string& text, const char* pattern, int group = 0) {
  const std::regex regex(pattern);
  std::set<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), regex), end; it != end; ++it) {
    std::string groups;
    for (size_t i = 1; group < 0 && i < it->size(); ++i) groups += (i > 1 ? " " : "") + (*it)[i].str();
    found.insert(group < 0 ? groups : (*it)[group].str());
  }
  return found;
}

// The options a text names, as "--name": roff writes "\-".
std::set<std::string> Options(const std::string& text) {
  return Matches(std::regex_replace(text, std::regex(R"(\\-)"), "-"), "--[a-z][a-z-]*");
}

// The paragraph of text that holds from, from there on to a blank line or
// a manual page's next request; "" without it.
std::string Paragraph(const std::string& text, const std::string& from) {
  const size_t at = text.find(from);
  if (at == std::string::npos) return "";
  return text.substr(at, std::min(text.find("\n\n", at), text.find("\n.", at)) - at);
}

// The statuses a program's manual page, --help and README name are the same.
TEST(RegistryTest, EachProgramsHelpNamesTheOptionsAndStatusesOfItsManualPage) {
  const struct { const char* program; const char* page; const char* readme; const char* from;
                 const char* status; } programs[] = {
      {QMX_CALL_PATH, "packaging/man/qmx-call.1", "README.md", "Exit status: ",
       R"(\b(\d+) (?:when|for)\b)"},
      {QMXUPDTMNGR_PATH, "packaging/man/qmxupdtmngr.8", "service/README.md",
       "It runs in the foreground", R"([Ee]xit (\d+)\b)"},
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
    EXPECT_EQ(Matches(Part(page, ".SH EXIT STATUS"), R"(\.TP\n\.B (\d+)\n)", 1),
              Matches(Paragraph(ReadText(Source(program.readme)), program.from), program.status, 1))
        << program.page << " against " << program.readme;
  }
}

// Each table a page keeps lists what the code or the samples keep: the
// provider's result codes, the service's, the trace catalogue with levels
// and texts, the kinds the service journals and those whose reply has a
// body, and the state file version; and the service answers the kinds the
// samples send, no other.
TEST(RegistryTest, EachPageListsWhatTheCodeKeeps) {
  std::set<std::string> provider, sent, journaled, with_body;
  for (std::string code : Matches(ReadText(Source("provider/UpdateManager.h")),
                                  R"(kResult\w+ = [^;]*\b0x([0-9A-Fa-f]+))", 1)) {
    std::transform(code.begin(), code.end(), code.begin(), ::toupper);
    provider.insert(code);
  }
  for (const Sample& sample : Samples()) {
    if (!sample.request.empty()) sent.insert(sample.kind());
    if (!sample.journal.empty()) journaled.insert(sample.kind());
    if (sample.reply.size() > 16) with_body.insert(sample.kind());
  }
  const std::vector<std::string> kinds = qmx::service::RequestKinds();
  const std::string trace = std::regex_replace(
      std::regex_replace(ReadText(Source("runtime/trace.cpp")), std::regex("TRACE_DETAIL"), "1"),
      std::regex("TRACE_ERROR"), "2");
  // What a page lists from "from" on.
  auto listed = [](const char* page, const char* from, const char* pattern) {
    return Matches(Paragraph(ReadText(Source(page)), from), pattern, -1);
  };
  const char* kind = R"((?:`|\\fB)([a-z]{8})(?:`|\\fR))";
  const struct { const char* kept; std::set<std::string> expected; const char* listed;
                 std::set<std::string> found; } tables[] = {
      {"provider/UpdateManager.h", provider, "README.md",
       listed("README.md", "| value | meaning |", R"(\n\| 0x([0-9A-F]+) \|)")},
      {"provider/UpdateManager.h", provider, "packaging/man/qmx-call.1",
       listed("packaging/man/qmx-call.1", "ReturnValue 0x", R"(\b0x([0-9A-F]+)\b)")},
      {"service/protocol.h", Matches(ReadText(Source("service/protocol.h")), R"(k\w+ = 0x([0-9A-F]{4}),)", 1),
       "service/README.md", listed("service/README.md", "| code | meaning |", R"(\n\| `([0-9A-F]{4})` \|)")},
      {"runtime/trace.cpp", Matches(trace, R"re(\{"(MSGID_\w+)", (\d),\s*"([^"]*)"\})re", -1),
       "runtime/README.md",
       listed("runtime/README.md", "| id | level | text |", R"(\| `(MSGID_\w+)` \| (\d) \| `([^`]*)` \|)")},
      {"the samples' journal lines", journaled, "service/README.md",
       listed("service/README.md", "line appended with one write per", kind)},
      {"the samples' journal lines", journaled, "packaging/man/qmxupdtmngr.8",
       listed("packaging/man/qmxupdtmngr.8", "writes every action", kind)},
      {"the samples' replies with a body", with_body, "service/README.md",
       listed("service/README.md", "A reply echoes the request's", kind)},
      {"kStateVersion", {std::to_string(qmx::service::kStateVersion)}, "service/README.md",
       listed("service/README.md", "qmxupdtmngr-state", R"(qmxupdtmngr-state (\d+))")},
      {"the samples' requests", sent, "service/request_handler.cpp's kKinds",
       std::set<std::string>(kinds.begin(), kinds.end())},
  };
  for (const auto& table : tables) {
    EXPECT_EQ(table.expected, table.found) << table.listed << " against " << table.kept;
  }
}

// A method or a settings field added changes what the two sides send, and
// the packages must then refuse to pair with versions before it: debian/rules
// records the lists' fingerprint beside the WIRE_VERSION that last changed
// them.
TEST(RegistryTest, WireVersionIsRaisedWhenAMethodOrFieldIsAdded) {
  std::string lists;
  for (const std::string& method : SchemaMethods()) lists += method + "\n";
  for (const std::string& schema_class : Matches(ReadText(QMX_SCHEMA_FILE), R"(class (\w+))", 1)) {
    for (const std::string& property : Properties(schema_class)) lists += schema_class + "." + property + "\n";
  }
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : lists) hash = (hash ^ c) * 16777619u;
  char fingerprint[9];
  snprintf(fingerprint, sizeof(fingerprint), "%08x", hash);
  const std::string rules = ReadText(Source("debian/rules"));
  std::smatch version, recorded;
  ASSERT_TRUE(std::regex_search(rules, version, std::regex(R"(\nWIRE_VERSION = (\S+))")));
  ASSERT_TRUE(std::regex_search(rules, recorded, std::regex(R"(\nWIRE_FINGERPRINT = (\S+) (\S+))")))
      << "debian/rules records no WIRE_FINGERPRINT";
  EXPECT_EQ(recorded[2].str(), fingerprint)
      << "the methods or settings fields changed: raise WIRE_VERSION in debian/rules to the version "
         "that changes them and record WIRE_FINGERPRINT = <that version> " << fingerprint;
  EXPECT_EQ(recorded[1].str(), version[1].str())
      << "debian/rules: WIRE_FINGERPRINT is recorded for another version than WIRE_VERSION";
}

}  // namespace
