// The MOF loader: the product schema, errors with their lines, several
// files, and arbitrary bytes.

#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "runtime/repository.h"
#include "tests/runtime/test_root.h"

namespace qmx {
namespace {

// The property names of a class, or of a method's input or output class
// ("Class.Method.in" / ".out"); empty when there is none.
std::vector<std::string> Members(IWbemServices* services,
                                 const std::string& what) {
  size_t dot = what.find('.');
  IWbemClassObject* cls = nullptr;
  if (services->GetObject(what.substr(0, dot), 0, nullptr, &cls, nullptr) != 0) {
    return {"(no class)"};
  }
  std::vector<std::string> names;
  if (dot == std::string::npos) {
    names = cls->GetPropertyNames();
  } else {
    size_t second = what.find('.', dot + 1);
    IWbemClassObject* in = nullptr;
    IWbemClassObject* out = nullptr;
    std::string method = what.substr(dot + 1, second - dot - 1);
    if (cls->GetMethod(method.c_str(), 0, &in, &out) == 0) {
      IWbemClassObject* wanted = what.substr(second + 1) == "in" ? in : out;
      if (wanted != nullptr) names = wanted->GetPropertyNames();
    }
    if (in != nullptr) in->Release();
    if (out != nullptr) out->Release();
  }
  cls->Release();
  return names;
}

TEST(ProductSchemaTest, DeclaresTheProductClasses) {
  std::string error;
  IWbemServices* services = LoadRepository({QMX_SCHEMA_FILE}, &error);
  ASSERT_NE(services, nullptr) << error;
  const std::vector<std::string> schedule = {"IsAutoSetting", "RepeatType",
                                             "DayOfWeek", "Date", "Time"};
  std::vector<std::string> setting = {
      "DownloadType", "WebSiteUrl", "ProxyAddress", "ProxyPort", "ProxyUser",
      "ProxyPassword", "CacheServerPath", "CacheServerUser",
      "CacheServerPassword", "TempDriveLetter"};
  const struct {
    const char* what;
    std::vector<std::string> members;
  } cases[] = {
      {"Veltrax_DownloadSchedule", schedule},
      {"Veltrax_UpdateSchedule", schedule},
      {"Veltrax_DownloadSetting", setting},
      {"VELTRAX_UpdateManager.GetAutoDownloadSetting.in", {}},
      {"VELTRAX_UpdateManager.GetAutoDownloadSetting.out",
       {"ReturnValue", "DownloadSchedule", "DownloadSetting"}},
      {"VELTRAX_UpdateManager.SetAutoDownloadSetting.in",
       {"DownloadSchedule", "DownloadSetting"}},
      {"VELTRAX_UpdateManager.DownloadAll.in", {"DownloadSetting"}},
      {"VELTRAX_UpdateManager.GetAutoUpdateSetting.out",
       {"ReturnValue", "UpdateSchedule"}},
      {"VELTRAX_UpdateManager.SetAutoUpdateSetting.in", {"UpdateSchedule"}},
      {"VELTRAX_UpdateManager.UpdateAll.out", {"ReturnValue", "Reboot"}},
      {"VELTRAX_UpdateManager.RollbackAll.out", {"ReturnValue", "Reboot"}},
      {"VELTRAX_UpdateManager.NoticeModuleUpdate.out", {"ReturnValue"}},
      {"VELTRAX_UpdateManager.ExecuteReboot.out", {"ReturnValue"}},
      {"VELTRAX_UpdateManager.GetQmxStatus.out", {"ReturnValue"}},
      {"VELTRAX_UpdateManager.GetProviderVersion.out", {"ReturnValue", "Version"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Members(services, c.what), c.members) << c.what;
  }
  setting.push_back("ExternalMediaPath");
  EXPECT_EQ(Members(services, "Veltrax_DownloadAllSetting"), setting);

  IWbemClassObject* manager = nullptr;
  IWbemClassObject* in = nullptr;
  ASSERT_EQ(services->GetObject("VELTRAX_UpdateManager", 0, nullptr, &manager,
                                nullptr), 0);
  ASSERT_EQ(manager->GetMethod("DownloadAll", 0, &in, nullptr), 0);
  EXPECT_EQ(in->GetEmbeddedClassName("DownloadSetting"),
            "Veltrax_DownloadAllSetting");
  in->Release();
  manager->Release();
  services->Release();
}

TEST(MofErrorTest, NamesFileLineAndReason) {
  const struct {
    const char* mof;
    const char* error;
  } cases[] = {
      {"class A {\n  float X;\n};", "bad.mof:2: unknown type 'float'"},
      {"class A : Missing {};", "bad.mof:1: unknown superclass 'Missing'"},
      {"class A {};\nclass a {};", "bad.mof:2: duplicate class 'a'"},
      {"class A {\n string X;\n string x;\n};", "bad.mof:3: duplicate property 'x'"},
      {"class A { string X; };\nclass B : A {\n string X; };",
       "bad.mof:3: duplicate property 'X'"},
      {"class A {\n string X\n};", "bad.mof:2: expected ';' after property 'X'"},
      {"class A {\n string X;\n}", "bad.mof:3: expected ';' after class 'A'"},
      {"class A {\n uint32 M(string p;\n};", "bad.mof:2: expected ')'"},
      {"class A {\n uint32 M(string p, [In] string P);\n};",
       "bad.mof:2: duplicate parameter 'P'"},
      {"class A {\n uint32 M([Out] string ReturnValue);\n};",
       "bad.mof:2: duplicate parameter 'ReturnValue'"},
      {"class A {\n string M();\n};", "bad.mof:2: method 'M' must return uint32"},
      {"class A {\n uint32 M();\n uint32 m();\n};", "bad.mof:3: duplicate method 'm'"},
      {"class A {};\n/* open", "bad.mof:2: unterminated comment"},
      {"[Description(\"open\n)] class A {};", "bad.mof:1: unterminated string"},
      {"class A {\n [EmbeddedInstance(\"Nope\")] string X;\n};",
       "bad.mof:2: unknown embedded class 'Nope'"},
      {"class A {\n [EmbeddedInstance(\"A\")] sint32 X;\n};",
       "bad.mof:2: an embedded object must be declared as string"},
      {"class A {\n [EmbeddedInstance] string X;\n};",
       "bad.mof:2: EmbeddedInstance needs a class name"},
      {"class A {\n string X[];\n};", "bad.mof:2: arrays are not supported"},
      {"instance of A {};", "bad.mof:1: expected 'class'"},
      {"class A {\n string X;\n", "bad.mof:1: class 'A' is not closed"},
      {"class A { string X; };\n@", "bad.mof:2: unexpected character '@'"},
      {"#include \"x.mof\"", "bad.mof:1: unexpected '#'"},
  };
  for (const auto& c : cases) {
    std::string error;
    IWbemServices* services = LoadRepositoryFromText(c.mof, "bad.mof", &error);
    EXPECT_EQ(services, nullptr) << c.mof;
    if (services != nullptr) services->Release();
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.mof << "\n got: " << error;
  }
}

TEST(MofLoadTest, LaterFilesBuildOnEarlierOnes) {
  test::TempRoot root;
  root.Write("/a.mof",
             "#pragma namespace(\"x\")\n// base\nclass A { [Key] string N; };\n");
  root.Write("/b.mof",
             "class B : A {\n [EmbeddedInstance(\"C\")] string Item;\n};\n"
             "class C { boolean On; };\n");
  std::string error;
  IWbemServices* services =
      LoadRepository({root.Path("/a.mof"), root.Path("/b.mof")}, &error);
  ASSERT_NE(services, nullptr) << error;
  EXPECT_EQ(Members(services, "B"), (std::vector<std::string>{"N", "Item"}));
  services->Release();

  EXPECT_EQ(LoadRepository({root.Path("/b.mof")}, &error), nullptr);
  EXPECT_EQ(error, root.Path("/b.mof") + ":1: unknown superclass 'A'");
  EXPECT_EQ(LoadRepository({root.Path("/none.mof")}, &error), nullptr);
  EXPECT_EQ(error.rfind(root.Path("/none.mof") + ": cannot read", 0), 0u);
}

// Mutated schema text and random bytes: the loader answers, never crashes.
TEST(MofLoadTest, SurvivesArbitraryBytes) {
  std::string schema = test::ReadFile(QMX_SCHEMA_FILE);
  ASSERT_FALSE(schema.empty());
  std::mt19937 random(20261206);
  for (int round = 0; round < 3000; ++round) {
    std::string text = schema;
    int edits = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < edits; ++i) {
      size_t at = random() % text.size();
      char byte = static_cast<char>(random() % 256);
      if (random() % 3 == 0) {
        text.erase(at, random() % 64);
      } else {
        text[at] = byte;
      }
      if (text.empty()) text = "x";
    }
    std::string error;
    IWbemServices* services = LoadRepositoryFromText(text, "fuzz.mof", &error);
    if (services != nullptr) {
      services->Release();
    } else {
      EXPECT_EQ(error.rfind("fuzz.mof:", 0), 0u) << error;
    }
  }
}

}  // namespace
}  // namespace qmx
