// The object model: typed access and its NULL and type rules, classes and
// methods from MOF, and the reference rules; the MOF loader's errors, its
// size limit, and a load short of memory.
// Arbitrary MOF input is the MOF fuzz target's business.

#include <climits>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"
#include "tests/runtime/test_root.h"

// While 0 or more, this thread's allocations beyond that many fail, as on a
// machine short of memory.
static thread_local int g_allocationsLeft = -1;

void* operator new(std::size_t size) {
  if (g_allocationsLeft == 0) throw std::bad_alloc();
  if (g_allocationsLeft > 0) --g_allocationsLeft;
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace qmx {
namespace {

using Names = std::vector<std::string>;
using U = CIWbemUtil;
using testing::LiveObjectCount;

// Past the sint32 range where a long can hold it: refused, never cut.
const long kPastSint32 = static_cast<long>(INT_MAX) + (sizeof(long) > 4);

const char kMof[] = R"(
class Base { string Name; sint32 Count; uint32 Code; boolean Flag; };
class Derived : Base { string Extra; };
class Empty {};
class Holder {
  [EmbeddedInstance("Base")] string Item;
  [EmbeddedObject] string Anything;
  uint32 Run([In] sint32 Level, [In, Out] string Text, [Out] string Version);
};
)";

// Each call in order with the result it must give: NULL reads as empty and
// names match in any case; types are kept and a sint32 is never cut; a
// class cannot be written
// and an instance spawns none; an embedded object must be of the declared
// class or derived from it. A method's classes hold its parameters. The
// holder of an embedded object keeps it alive and hands it out until NULL
// is written over it; the test ends with as many live objects as it began.
TEST(ObjectModelTest, TypedAccessKeepsTypesClassesAndReferences) {
  const int start = LiveObjectCount();
  std::string error;
  IWbemServices* services = LoadRepositoryFromText(kMof, "test.mof", &error);
  ASSERT_NE(services, nullptr) << error;
  IWbemClassObject* holder_class = nullptr;
  ASSERT_EQ(services->GetObject("Holder", 0, nullptr, &holder_class, nullptr), 0);
  auto spawn = [services](const char* name) {
    IWbemClassObject* cls = nullptr;
    IWbemClassObject* instance = nullptr;
    services->GetObject(name, 0, nullptr, &cls, nullptr);
    EXPECT_EQ(cls->SpawnInstance(0, &instance), 0);
    cls->Release();
    return instance;
  };
  IWbemClassObject* base = spawn("Base");
  IWbemClassObject* holder = spawn("Holder");
  IWbemClassObject* derived = spawn("Derived");
  IWbemClassObject* empty_instance = spawn("Empty");
  IWbemClassObject* o = nullptr;
  IWbemClassObject* spawned = base;  // an instance spawns none and says so
  std::string s = "stale", empty = "stale";
  int i = 7, zero = 7;
  bool b = true, no = true;
  const HRESULT kMismatch = WBEM_E_TYPE_MISMATCH;
  const HRESULT results[][2] = {  // in order: {what it gave, what it must}
      {U::getStringFromIWbemClassObject(base, "name", &empty), 0},
      {U::getIntFromIWbemClassObject(base, "COUNT", &zero), 0},
      {U::getBoolFromIWbemClassObject(base, "Flag", &no), 0},
      {U::getStringFromIWbemClassObject(base, "Count", &s), kMismatch},
      {U::getIntFromIWbemClassObject(base, "Name", &i), kMismatch},
      {U::getBoolFromIWbemClassObject(base, "Count", &b), kMismatch},
      {U::setStringToIWbemClassObject(base, "Count", "1"), kMismatch},
      {U::setIntToIWbemClassObject(base, "Name", 1), kMismatch},
      {U::setIntToIWbemClassObject(base, "Code", 1), kMismatch},
      {U::setBoolToIWbemClassObject(base, "Name", true), kMismatch},
      {U::getStringFromIWbemClassObject(base, "Missing", &s), WBEM_E_NOT_FOUND},
      {U::getStringFromIWbemClassObject(nullptr, "Name", &s), WBEM_E_INVALID_PARAMETER},
      {U::getIntFromIWbemClassObject(base, "Code", &i), 0},  // NULL uint32
      {U::setStringToIWbemClassObject(base, "Name", "pass word, past a short string"), 0},  // its own memory
      {U::getParameterClassFromIWbemClassObject(base, "Name", &o), kMismatch},
      {U::setLongToIWbemClassObject(base, "Count", kPastSint32),
       sizeof(long) > 4 ? WBEM_E_INVALID_PARAMETER : 0},
      {U::setLongToIWbemClassObject(base, "Count", INT_MIN), 0},
      {U::setBoolToIWbemClassObject(base, "fLAG", true), 0},
      {U::getStringFromIWbemClassObject(base, "Name", &s), 0},
      {U::getIntFromIWbemClassObject(base, "Count", &i), 0},
      {U::getBoolFromIWbemClassObject(base, "Flag", &b), 0},
      {U::setStringToIWbemClassObject(holder_class, "Item", ""), WBEM_E_ILLEGAL_OPERATION},
      {base->SpawnInstance(0, &spawned), WBEM_E_ILLEGAL_OPERATION},
      {U::getStringFromIWbemClassObject(empty_instance, "Name", &s), WBEM_E_NOT_FOUND},
      {U::setParameterClassToIWbemClassObject(holder, "Item", holder), kMismatch},
      {U::setParameterClassToIWbemClassObject(holder, "Item", derived), 0},
      {U::setParameterClassToIWbemClassObject(holder, "Anything", derived), 0},
      {U::setReturnValueToIWbemClassObject(derived, 0x80000001u), WBEM_E_NOT_FOUND},
  };
  for (const auto& r : results) EXPECT_EQ(r[0], r[1]) << &r - results;
  EXPECT_EQ(empty + std::to_string(zero) + std::to_string(no), "00");
  EXPECT_EQ(s + std::to_string(i) + std::to_string(b), "pass word, past a short string-21474836481");
  EXPECT_EQ(o, nullptr);
  EXPECT_EQ(spawned, nullptr);
  empty_instance->Release();
  EXPECT_EQ(base->AddRef(), 2u);  // each says how many references are left
  EXPECT_EQ(base->Release(), 1u);
  EXPECT_EQ(base->Release(), 0u);

  IWbemClassObject* in = nullptr;
  IWbemClassObject* out = nullptr;
  ASSERT_EQ(holder_class->GetMethod("run", 0, &in, &out), 0);
  holder_class->Release();
  EXPECT_EQ(in->GetPropertyNames(), (Names{"Level", "Text"}));
  EXPECT_EQ(out->GetPropertyNames(), (Names{"ReturnValue", "Text", "Version"}));
  in->Release();
  out->Release();

  const int live = LiveObjectCount();
  derived->Release();
  EXPECT_EQ(LiveObjectCount(), live) << "the holder keeps it alive";
  ASSERT_EQ(U::getParameterClassFromIWbemClassObject(holder, "item", &o), 0);
  EXPECT_EQ(o, derived);
  o->Release();
  // Writing NULL releases the old value; its class stays with the repository.
  EXPECT_EQ(U::setParameterClassToIWbemClassObject(holder, "Anything", nullptr), 0);
  EXPECT_EQ(U::setParameterClassToIWbemClassObject(holder, "Item", nullptr), 0);
  EXPECT_EQ(LiveObjectCount(), live - 1);
  EXPECT_EQ(U::getParameterClassFromIWbemClassObject(holder, "Item", &o), WBEM_E_NOT_FOUND);
  holder->Release();
  services->Release();
  EXPECT_EQ(LiveObjectCount(), start);
}

TEST(MofLoadTest, ErrorsNameFileLineAndReason) {
  const struct { const char* mof; const char* error; } cases[] = {
      {"/*\n*/class A {\n /**/float X; };", "3: unknown type 'float'"},
      {"class Z : Missing {};", "1: unknown superclass 'Missing'"},
      {"class A", "1: expected '{' to open class 'A' but found end of file"},
      {"class A {};\nclass a {};", "2: duplicate class 'a'"},
      {"class A {string X;};\nclass B:A {string X;};", "2: duplicate property 'X'"},
      {"class A {\n string X\n};", "2: expected ';' after property 'X'"},
      {"class A {\nuint32 M(string p,[In]string P);};", "2: duplicate parameter 'P'"},
      {"class A { uint32 M([Out] string ReturnValue); };", "1: duplicate parameter 'ReturnValue'"},
      {"class A {\n string M(); };", "2: method 'M' must return uint32"},
      {"class A {};\n/* open", "2: unterminated comment"},
      {"[Description(\"open\n)] class A {};", "1: unterminated string"},
      {"class A {\n [EmbeddedInstance(\"B\\t\\\"C\")] string X; };",
       "2: unknown embedded class 'B\t\"C'"},
      {"class A {\n [EmbeddedInstance(\"A\")] sint32 X; };",
       "2: an embedded object must be declared as string"},
      {"[Q(1), R{-2, +3}] class A {\n string X[]; };", "2: arrays are not supported"},
      {"class A {\n string X; // and no line break", "1: class 'A' is not closed"},
      {"class A { string X; };\n@", "2: unexpected character '@'"},
      {"class A {};\n/ *", "2: unexpected character '/'"},
      {"class A {};\n\x7f", "2: unexpected byte 0x7f"},
      {"#include \"x.mof\"", "1: unexpected '#'"},
  };
  for (const auto& c : cases) {
    std::string error;
    IWbemServices* services = LoadRepositoryFromText(c.mof, "bad.mof", &error);
    EXPECT_EQ(services, nullptr) << c.mof;
    if (services != nullptr) services->Release();
    EXPECT_EQ(error.rfind(std::string("bad.mof:") + c.error, 0), 0u) << error;
  }
}

// A file larger than any schema can be is not read whole.
TEST(MofLoadTest, LargerThanAnySchemaIsRefused) {
  test::TempRoot root;
  root.WriteFile("/big.mof", std::string((16 << 20) + 1, ' '));
  std::string error;
  EXPECT_EQ(LoadRepository({root.PathOf("/big.mof")}, &error), nullptr);
  EXPECT_EQ(error, root.PathOf("/big.mof") + ": larger than the limit of 16 MiB");
  // Properties, methods and parameters are members, and count again in each
  // subclass, so that a small text cannot make a huge schema: 100,000 are
  // taken, a subclass of them is too many.
  std::string wide = "class C0 {";
  for (int i = 0; i < 40000; ++i) wide += " string P" + std::to_string(i) + ";";
  for (int i = 0; i < 20000; ++i) wide += " uint32 M" + std::to_string(i) + "(string a);";
  wide += " };\n";
  IWbemServices* services = LoadRepositoryFromText(wide, "wide.mof", &error);
  EXPECT_NE(services, nullptr) << error;
  if (services != nullptr) services->Release();
  EXPECT_EQ(LoadRepositoryFromText(wide + "class C1 : C0 {};", "wide.mof", &error), nullptr);
  EXPECT_EQ(error, "wide.mof:2: too many members (more than 100000)");
}

// A load that memory runs short for at any of its allocations throws and
// leaves no object alive; given enough, it loads.
TEST(MofLoadTest, ShortOfMemoryAnywhereLeavesNoObjectBehind) {
  const int start = LiveObjectCount();
  for (int allowed = 0;; ++allowed) {
    std::string error;
    IWbemServices* services = nullptr;
    g_allocationsLeft = allowed;
    try {
      services = LoadRepositoryFromText(kMof, "test.mof", &error);
    } catch (const std::bad_alloc&) {
      g_allocationsLeft = -1;
      ASSERT_EQ(LiveObjectCount(), start) << "short after " << allowed << " allocations";
      continue;
    }
    g_allocationsLeft = -1;
    ASSERT_NE(services, nullptr) << error;
    services->Release();
    EXPECT_GT(allowed, 20);  // the loads short of memory met the class objects
    return;
  }
}

}  // namespace
}  // namespace qmx
