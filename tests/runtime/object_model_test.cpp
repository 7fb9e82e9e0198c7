// The object model: typed access and its NULL and type rules, classes and
// methods from MOF, and the reference rules. Every test ends with as many
// live objects as it began with, so a leaked or missing reference fails it.

#include <climits>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"

namespace qmx {
namespace {

using Names = std::vector<std::string>;
using U = CIWbemUtil;
using testing::LiveObjectCount;

const char kMof[] = R"(
class Base { string Name; sint32 Count; uint32 Code; boolean Flag; };
class Derived : Base { string Extra; };
class Holder {
  [EmbeddedInstance("Base")] string Item;
  [EmbeddedObject] string Anything;
  uint32 Run([In] sint32 Level, [In, Out] string Text, [Out] string Version);
  uint32 Ping();
};
)";

class ObjectModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = LiveObjectCount();
    std::string error;
    services_ = LoadRepositoryFromText(kMof, "test.mof", &error);
    ASSERT_NE(services_, nullptr) << error;
  }
  void TearDown() override {
    services_->Release();
    EXPECT_EQ(LiveObjectCount(), start_);
  }

  IWbemClassObject* Class(const char* name) {
    IWbemClassObject* cls = nullptr;
    EXPECT_EQ(services_->GetObject(name, 0, nullptr, &cls, nullptr), 0);
    return cls;
  }
  // A new instance of the class, which is released.
  IWbemClassObject* Spawn(IWbemClassObject* cls) {
    IWbemClassObject* instance = nullptr;
    EXPECT_EQ(cls->SpawnInstance(0, &instance), 0);
    cls->Release();
    return instance;
  }

  IWbemServices* services_ = nullptr;
  int start_ = 0;
};

TEST_F(ObjectModelTest, TypedAccessKeepsTypesAndReadsNullAsEmpty) {
  IWbemClassObject* base = Spawn(Class("Base"));
  std::string s = "stale";
  int i = 7;
  bool b = true;
  IWbemClassObject* o = nullptr;
  EXPECT_EQ(U::getStringFromIWbemClassObject(base, "name", &s), 0);
  EXPECT_EQ(U::getIntFromIWbemClassObject(base, "COUNT", &i), 0);
  EXPECT_EQ(U::getBoolFromIWbemClassObject(base, "Flag", &b), 0);
  EXPECT_EQ(s + std::to_string(i) + std::to_string(b), "00");

  const HRESULT kMismatch = WBEM_E_TYPE_MISMATCH;
  const HRESULT results[][2] = {  // in order: {what it gave, what it must}
      {U::getStringFromIWbemClassObject(base, "Count", &s), kMismatch},
      {U::getIntFromIWbemClassObject(base, "Name", &i), kMismatch},
      {U::getBoolFromIWbemClassObject(base, "Count", &b), kMismatch},
      {U::getParameterClassFromIWbemClassObject(base, "Name", &o), kMismatch},
      {U::setStringToIWbemClassObject(base, "Count", "1"), kMismatch},
      {U::setIntToIWbemClassObject(base, "Name", 1), kMismatch},
      {U::setIntToIWbemClassObject(base, "Code", 1), kMismatch},
      {U::setBoolToIWbemClassObject(base, "Name", true), kMismatch},
      {U::getStringFromIWbemClassObject(base, "Missing", &s), WBEM_E_NOT_FOUND},
      {U::getStringFromIWbemClassObject(nullptr, "Name", &s), WBEM_E_INVALID_PARAMETER},
      {U::getIntFromIWbemClassObject(base, "Code", &i), 0},  // NULL uint32
      {U::setStringToIWbemClassObject(base, "Name", "pass word"), 0},
      {U::setLongToIWbemClassObject(base, "Count", INT_MIN), 0},
      {U::setBoolToIWbemClassObject(base, "fLAG", true), 0},
      {U::getStringFromIWbemClassObject(base, "Name", &s), 0},
      {U::getIntFromIWbemClassObject(base, "Count", &i), 0},
      {U::getBoolFromIWbemClassObject(base, "Flag", &b), 0},
  };
  for (const auto& r : results) EXPECT_EQ(r[0], r[1]) << &r - results;
  EXPECT_EQ(s + std::to_string(i) + std::to_string(b), "pass word-21474836481");
  if (sizeof(long) > 4) {  // a long past sint32 is refused, not cut
    long past = INT_MAX;
    ++past;  // not a constant: this must compile where long is 32 bits
    EXPECT_EQ(U::setLongToIWbemClassObject(base, "Count", past),
              WBEM_E_INVALID_PARAMETER);
  }
  base->Release();
}

// A class reads NULL and cannot be written; an instance keeps its class
// alive and spawns none itself; a method's classes hold its parameters.
TEST_F(ObjectModelTest, ClassesInstancesAndMethods) {
  IWbemClassObject* holder = Class("Holder");
  IWbemClassObject* in = nullptr;
  IWbemClassObject* out = nullptr;
  EXPECT_EQ(U::setStringToIWbemClassObject(holder, "Item", ""),
            WBEM_E_ILLEGAL_OPERATION);
  ASSERT_EQ(holder->GetMethod("run", 0, &in, &out), 0);
  EXPECT_EQ(in->GetPropertyNames(), (Names{"Level", "Text"}));
  EXPECT_EQ(out->GetPropertyNames(), (Names{"ReturnValue", "Text", "Version"}));
  in->Release();
  std::string text = "stale";
  EXPECT_EQ(U::getStringFromIWbemClassObject(out, "Text", &text), 0);
  EXPECT_EQ(text, "");
  IWbemClassObject* result = Spawn(out);
  EXPECT_EQ(result->SpawnInstance(0, &out), WBEM_E_ILLEGAL_OPERATION);
  EXPECT_EQ(out, nullptr);
  // A uint32 ReturnValue reads back through the int getter as its bits.
  int code = 0;
  EXPECT_EQ(U::setReturnValueToIWbemClassObject(result, 0x80000001u), 0);
  EXPECT_EQ(U::getIntFromIWbemClassObject(result, "ReturnValue", &code), 0);
  EXPECT_EQ(static_cast<uint32_t>(code), 0x80000001u);
  result->Release();
  EXPECT_EQ(holder->GetMethod("Ping", 0, &in, &out), 0);
  EXPECT_EQ(in, nullptr);  // no [In] parameter: no input class
  out->Release();
  holder->Release();
}

TEST_F(ObjectModelTest, EmbeddedObjectsCheckTheirClassAndHoldReferences) {
  IWbemClassObject* holder = Spawn(Class("Holder"));
  IWbemClassObject* derived = Spawn(Class("Derived"));
  EXPECT_EQ(U::setParameterClassToIWbemClassObject(holder, "Item", holder),
            WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(U::setParameterClassToIWbemClassObject(holder, "Item", derived), 0);
  EXPECT_EQ(U::setParameterClassToIWbemClassObject(holder, "Anything", derived), 0);
  EXPECT_EQ(U::setStringToIWbemClassObject(derived, "Extra", "kept"), 0);
  int live = LiveObjectCount();
  derived->Release();
  EXPECT_EQ(LiveObjectCount(), live) << "the holder keeps it alive";
  IWbemClassObject* item = nullptr;
  ASSERT_EQ(U::getParameterClassFromIWbemClassObject(holder, "item", &item), 0);
  std::string extra;
  EXPECT_EQ(U::getStringFromIWbemClassObject(item, "Extra", &extra), 0);
  EXPECT_EQ(extra, "kept");
  item->Release();
  // Writing NULL releases the old value: the instance and its class.
  EXPECT_EQ(U::setParameterClassToIWbemClassObject(holder, "Anything", nullptr), 0);
  EXPECT_EQ(U::setParameterClassToIWbemClassObject(holder, "Item", nullptr), 0);
  EXPECT_EQ(LiveObjectCount(), live - 2);
  EXPECT_EQ(U::getParameterClassFromIWbemClassObject(holder, "Item", &item),
            WBEM_E_NOT_FOUND);
  holder->Release();
}

}  // namespace
}  // namespace qmx
