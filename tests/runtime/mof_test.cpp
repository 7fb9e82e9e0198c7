// The MOF loader: errors name their file, line and reason, and later files
// build on earlier ones. Arbitrary input is the MOF fuzz target's business.

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "runtime/repository.h"
#include "tests/runtime/test_root.h"

namespace qmx {
namespace {

TEST(MofLoadTest, ErrorsNameFileLineAndReason) {
  const struct {
    const char* mof;
    const char* error;
  } cases[] = {
      {"class A {\n  float X;\n};", "bad.mof:2: unknown type 'float'"},
      {"class A : Missing {};", "bad.mof:1: unknown superclass 'Missing'"},
      {"class A {};\nclass a {};", "bad.mof:2: duplicate class 'a'"},
      {"class A { string X; };\nclass B : A {\n string X; };",
       "bad.mof:3: duplicate property 'X'"},
      {"class A {\n string X\n};", "bad.mof:2: expected ';' after property 'X'"},
      {"class A {\n uint32 M(string p, [In] string P);\n};",
       "bad.mof:2: duplicate parameter 'P'"},
      {"class A {\n uint32 M([Out] string ReturnValue);\n};",
       "bad.mof:2: duplicate parameter 'ReturnValue'"},
      {"class A {\n string M();\n};", "bad.mof:2: method 'M' must return uint32"},
      {"class A {};\n/* open", "bad.mof:2: unterminated comment"},
      {"[Description(\"open\n)] class A {};", "bad.mof:1: unterminated string"},
      {"class A {\n [EmbeddedInstance(\"Nope\")] string X;\n};",
       "bad.mof:2: unknown embedded class 'Nope'"},
      {"class A {\n [EmbeddedInstance(\"A\")] sint32 X;\n};",
       "bad.mof:2: an embedded object must be declared as string"},
      {"class A {\n string X[];\n};", "bad.mof:2: arrays are not supported"},
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
  root.WriteFile("/a.mof",
             "#pragma namespace(\"x\")\n// base\nclass A { [Key] string N; };\n");
  root.WriteFile("/b.mof",
             "class B : A {\n [EmbeddedInstance(\"C\")] string Item;\n};\n"
             "class C { boolean On; };\n");
  std::string error;
  IWbemServices* services =
      LoadRepository({root.PathOf("/a.mof"), root.PathOf("/b.mof")}, &error);
  ASSERT_NE(services, nullptr) << error;
  IWbemClassObject* b = nullptr;
  ASSERT_EQ(services->GetObject("B", 0, nullptr, &b, nullptr), 0);
  EXPECT_EQ(b->GetPropertyNames(), (std::vector<std::string>{"N", "Item"}));
  b->Release();
  services->Release();

  EXPECT_EQ(LoadRepository({root.PathOf("/b.mof")}, &error), nullptr);
  EXPECT_EQ(error, root.PathOf("/b.mof") + ":1: unknown superclass 'A'");
  EXPECT_EQ(LoadRepository({root.PathOf("/none.mof")}, &error), nullptr);
  EXPECT_EQ(error.rfind(root.PathOf("/none.mof") + ": cannot read", 0), 0u);
}

}  // namespace
}  // namespace qmx
