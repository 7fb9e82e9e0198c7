// The object model: typed access, NULL rules, reference counts, methods,
// the repository, the recording sink and injected faults.

#include <climits>
#include <functional>
#include <string>

#include "gtest/gtest.h"
#include "host/utility.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"

namespace qmx {
namespace {

using testing::FaultInjection;
using testing::HostOperation;
using testing::LiveObjectCount;

const char kMof[] = R"(
class Base { string Name; sint32 Count; uint32 Code; boolean Flag; };
class Derived : Base { string Extra; };
class Other { string Name; };
class Holder {
  [EmbeddedInstance("Base")] string Item;
  [EmbeddedObject] string Anything;
  uint32 Run([In] sint32 Level, [In, Out] string Text, [Out] boolean Done);
  uint32 Ping();
};
)";

class ObjectModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_startCount = LiveObjectCount();
    std::string error;
    m_services = LoadRepositoryFromText(kMof, "test.mof", &error);
    ASSERT_NE(m_services, nullptr) << error;
  }

  void TearDown() override {
    m_services->Release();
    EXPECT_EQ(LiveObjectCount(), m_startCount);
  }

  // A class object or a new instance of the named class; the test owns it.
  IWbemClassObject* Class(const char* name) {
    IWbemClassObject* cls = nullptr;
    EXPECT_EQ(m_services->GetObject(name, 0, nullptr, &cls, nullptr), 0);
    return cls;
  }
  IWbemClassObject* Instance(const char* name) {
    IWbemClassObject* cls = Class(name);
    IWbemClassObject* instance = nullptr;
    EXPECT_EQ(cls->SpawnInstance(0, &instance), 0);
    cls->Release();
    return instance;
  }

  IWbemServices* m_services = nullptr;
  int m_startCount = 0;
};

using Op = std::function<HRESULT(IWbemClassObject*)>;

struct AccessCase {
  const char* what;
  Op op;
  HRESULT expected;
};

HRESULT GetString(IWbemClassObject* object, const char* name) {
  std::string value;
  return CIWbemUtil::getStringFromIWbemClassObject(object, name, &value);
}
HRESULT GetInt(IWbemClassObject* object, const char* name) {
  int value;
  return CIWbemUtil::getIntFromIWbemClassObject(object, name, &value);
}
HRESULT GetBool(IWbemClassObject* object, const char* name) {
  bool value;
  return CIWbemUtil::getBoolFromIWbemClassObject(object, name, &value);
}
HRESULT GetObjectValue(IWbemClassObject* object, const char* name) {
  IWbemClassObject* value = nullptr;
  HRESULT status =
      CIWbemUtil::getParameterClassFromIWbemClassObject(object, name, &value);
  if (value != nullptr) value->Release();
  return status;
}

// Accessors against properties of the wrong type, unknown names and a null
// object, on a Base instance.
TEST_F(ObjectModelTest, TypedAccessChecksNamesAndTypes) {
  const AccessCase cases[] = {
      {"string of sint32", [](auto o) { return GetString(o, "Count"); }, WBEM_E_TYPE_MISMATCH},
      {"string of uint32", [](auto o) { return GetString(o, "Code"); }, WBEM_E_TYPE_MISMATCH},
      {"int of string", [](auto o) { return GetInt(o, "Name"); }, WBEM_E_TYPE_MISMATCH},
      {"bool of sint32", [](auto o) { return GetBool(o, "Count"); }, WBEM_E_TYPE_MISMATCH},
      {"object of string", [](auto o) { return GetObjectValue(o, "Name"); }, WBEM_E_TYPE_MISMATCH},
      {"unknown get", [](auto o) { return GetString(o, "Missing"); }, WBEM_E_NOT_FOUND},
      {"unknown set", [](auto o) { return CIWbemUtil::setIntToIWbemClassObject(o, "Missing", 1); }, WBEM_E_NOT_FOUND},
      {"set string to sint32", [](auto o) { return CIWbemUtil::setStringToIWbemClassObject(o, "Count", "1"); }, WBEM_E_TYPE_MISMATCH},
      {"set int to string", [](auto o) { return CIWbemUtil::setIntToIWbemClassObject(o, "Name", 1); }, WBEM_E_TYPE_MISMATCH},
      {"set int to uint32", [](auto o) { return CIWbemUtil::setIntToIWbemClassObject(o, "Code", 1); }, WBEM_E_TYPE_MISMATCH},
      {"set bool to string", [](auto o) { return CIWbemUtil::setBoolToIWbemClassObject(o, "Name", true); }, WBEM_E_TYPE_MISMATCH},
      {"return value absent", [](auto o) { return CIWbemUtil::setReturnValueToIWbemClassObject(o, 0); }, WBEM_E_NOT_FOUND},
      {"int of NULL uint32", [](auto o) { return GetInt(o, "Code"); }, WBEM_S_NO_ERROR},
      {"case-blind name", [](auto o) { return CIWbemUtil::setBoolToIWbemClassObject(o, "fLAG", true); }, WBEM_S_NO_ERROR},
      {"null object", [](auto) { return GetString(nullptr, "Name"); }, WBEM_E_INVALID_PARAMETER},
      {"long in range", [](auto o) { return CIWbemUtil::setLongToIWbemClassObject(o, "Count", INT_MIN); }, WBEM_S_NO_ERROR},
  };
  IWbemClassObject* base = Instance("Base");
  for (const AccessCase& c : cases) {
    EXPECT_EQ(c.op(base), c.expected) << c.what;
  }
  base->Release();
}

TEST_F(ObjectModelTest, ValuesRoundTripAndNullReadsAsDocumented) {
  IWbemClassObject* base = Instance("Base");
  std::string text = "stale";
  int number = 7;
  bool flag = true;
  EXPECT_EQ(CIWbemUtil::getStringFromIWbemClassObject(base, "Name", &text), 0);
  EXPECT_EQ(CIWbemUtil::getIntFromIWbemClassObject(base, "Count", &number), 0);
  EXPECT_EQ(CIWbemUtil::getBoolFromIWbemClassObject(base, "Flag", &flag), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(number, 0);
  EXPECT_FALSE(flag);

  EXPECT_EQ(CIWbemUtil::setStringToIWbemClassObject(base, "Name", "pass word"), 0);
  EXPECT_EQ(CIWbemUtil::setLongToIWbemClassObject(base, "Count", -42L), 0);
  EXPECT_EQ(CIWbemUtil::setBoolToIWbemClassObject(base, "Flag", true), 0);
  EXPECT_EQ(CIWbemUtil::getStringFromIWbemClassObject(base, "name", &text), 0);
  EXPECT_EQ(CIWbemUtil::getIntFromIWbemClassObject(base, "COUNT", &number), 0);
  EXPECT_EQ(CIWbemUtil::getBoolFromIWbemClassObject(base, "Flag", &flag), 0);
  EXPECT_EQ(text, "pass word");
  EXPECT_EQ(number, -42);
  EXPECT_TRUE(flag);

  // Put with VT_NULL makes the property NULL again.
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  EXPECT_EQ(base->Put("Name", 0, &null, 0), 0);
  VARIANT read;
  CIMTYPE type = 0;
  EXPECT_EQ(base->Get("Name", 0, &read, &type, nullptr), 0);
  EXPECT_EQ(read.vt, VT_NULL);
  EXPECT_EQ(type, CIM_STRING);
  base->Release();
}

TEST_F(ObjectModelTest, LongOutsideInt32IsRefused) {
  if (sizeof(long) == 4) GTEST_SKIP() << "long is 32 bits here";
  IWbemClassObject* base = Instance("Base");
  long tooBig = INT_MAX;
  long tooSmall = INT_MIN;
  ++tooBig;  // not constants: this line must compile where long is 32 bits
  --tooSmall;
  EXPECT_EQ(CIWbemUtil::setLongToIWbemClassObject(base, "Count", tooBig),
            WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(CIWbemUtil::setLongToIWbemClassObject(base, "Count", tooSmall),
            WBEM_E_INVALID_PARAMETER);
  base->Release();
}

TEST_F(ObjectModelTest, ClassObjectsReadNullAndRefuseWrites) {
  IWbemClassObject* cls = Class("base");
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls->GetClassName(), "Base");
  VARIANT value;
  CIMTYPE type = 0;
  EXPECT_EQ(cls->Get("Count", 0, &value, &type, nullptr), 0);
  EXPECT_EQ(value.vt, VT_NULL);
  EXPECT_EQ(type, CIM_SINT32);
  EXPECT_EQ(CIWbemUtil::setIntToIWbemClassObject(cls, "Count", 1),
            WBEM_E_ILLEGAL_OPERATION);

  IWbemClassObject* instance = nullptr;
  ASSERT_EQ(cls->SpawnInstance(0, &instance), 0);
  IWbemClassObject* again = reinterpret_cast<IWbemClassObject*>(1);
  EXPECT_EQ(instance->SpawnInstance(0, &again), WBEM_E_ILLEGAL_OPERATION);
  EXPECT_EQ(again, nullptr);
  // The instance keeps its class alive.
  cls->Release();
  EXPECT_EQ(instance->GetClassName(), "Base");
  instance->Release();
}

TEST_F(ObjectModelTest, SuperclassMembersComeFirst) {
  IWbemClassObject* derived = Class("Derived");
  std::vector<std::string> expected = {"Name", "Count", "Code", "Flag", "Extra"};
  EXPECT_EQ(derived->GetPropertyNames(), expected);
  derived->Release();
}

TEST_F(ObjectModelTest, MethodsHaveParameterClasses) {
  IWbemClassObject* holder = Class("Holder");
  IWbemClassObject* in = nullptr;
  IWbemClassObject* out = nullptr;
  ASSERT_EQ(holder->GetMethod("run", 0, &in, &out), 0);
  EXPECT_EQ(in->GetPropertyNames(), (std::vector<std::string>{"Level", "Text"}));
  EXPECT_EQ(out->GetPropertyNames(),
            (std::vector<std::string>{"ReturnValue", "Text", "Done"}));
  in->Release();

  // A uint32 ReturnValue reads back through the int getter as its bits.
  IWbemClassObject* result = nullptr;
  ASSERT_EQ(out->SpawnInstance(0, &result), 0);
  EXPECT_EQ(CIWbemUtil::setReturnValueToIWbemClassObject(result, 0x80000001u), 0);
  int code = 0;
  EXPECT_EQ(CIWbemUtil::getIntFromIWbemClassObject(result, "ReturnValue", &code), 0);
  EXPECT_EQ(static_cast<uint32_t>(code), 0x80000001u);
  result->Release();
  out->Release();

  // No [In] parameter: a null input class.
  in = reinterpret_cast<IWbemClassObject*>(1);
  ASSERT_EQ(holder->GetMethod("Ping", 0, &in, &out), 0);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(out->GetPropertyNames(), std::vector<std::string>{"ReturnValue"});
  out->Release();
  EXPECT_EQ(holder->GetMethod("Nope", 0, &in, &out), WBEM_E_NOT_FOUND);
  EXPECT_EQ(out, nullptr);
  holder->Release();
}

TEST_F(ObjectModelTest, EmbeddedObjectsCheckTheirClassAndHoldReferences) {
  IWbemClassObject* holder = Instance("Holder");
  IWbemClassObject* derived = Instance("Derived");
  IWbemClassObject* other = Instance("Other");
  EXPECT_EQ(GetObjectValue(holder, "Item"), WBEM_E_NOT_FOUND);  // NULL
  EXPECT_EQ(CIWbemUtil::setParameterClassToIWbemClassObject(holder, "Item", derived), 0);
  EXPECT_EQ(CIWbemUtil::setParameterClassToIWbemClassObject(holder, "Item", other),
            WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(CIWbemUtil::setParameterClassToIWbemClassObject(holder, "Anything", other), 0);
  EXPECT_EQ(CIWbemUtil::setStringToIWbemClassObject(derived, "Extra", "kept"), 0);
  int live = LiveObjectCount();
  derived->Release();
  other->Release();
  EXPECT_EQ(LiveObjectCount(), live) << "the holder keeps both alive";

  IWbemClassObject* item = nullptr;
  ASSERT_EQ(CIWbemUtil::getParameterClassFromIWbemClassObject(holder, "item", &item), 0);
  std::string extra;
  EXPECT_EQ(CIWbemUtil::getStringFromIWbemClassObject(item, "Extra", &extra), 0);
  EXPECT_EQ(extra, "kept");
  item->Release();

  // Replacing a value releases the old one (the instance and its class).
  EXPECT_EQ(CIWbemUtil::setParameterClassToIWbemClassObject(holder, "Anything", nullptr), 0);
  EXPECT_EQ(LiveObjectCount(), live - 2);
  holder->Release();
}

TEST_F(ObjectModelTest, RepositoryServesClassesByName) {
  IWbemClassObject* cls = reinterpret_cast<IWbemClassObject*>(1);
  EXPECT_EQ(m_services->GetObject("NoSuchClass", 0, nullptr, &cls, nullptr),
            WBEM_E_NOT_FOUND);
  EXPECT_EQ(cls, nullptr);
  EXPECT_EQ(m_services->GetObject("Base", 0, nullptr, nullptr, nullptr),
            WBEM_E_INVALID_PARAMETER);
  cls = Class("HOLDER");
  EXPECT_EQ(cls->GetEmbeddedClassName("item"), "Base");
  EXPECT_EQ(cls->GetEmbeddedClassName("Anything"), "");
  cls->Release();
}

TEST_F(ObjectModelTest, RecordingSinkKeepsWhatItIsGiven) {
  IWbemClassObject* base = Instance("Base");
  int live = LiveObjectCount();
  {
    RecordingSink sink;
    EXPECT_EQ(sink.Indicate(1, &base), 0);
    EXPECT_EQ(sink.SetStatus(0, WBEM_E_FAILED, nullptr, nullptr), 0);
    base->Release();
    EXPECT_EQ(LiveObjectCount(), live);
    EXPECT_EQ(sink.Indicated().size(), 1u);
    EXPECT_EQ(sink.Statuses(), std::vector<HRESULT>{WBEM_E_FAILED});
  }
  EXPECT_EQ(LiveObjectCount(), live - 2);
}

TEST_F(ObjectModelTest, InjectedFaultsHitTheNamedOperations) {
  IWbemClassObject* base = Instance("Base");
  int actions = 0;
  {
    FaultInjection faults;
    faults.Fail(HostOperation::kGet, "name", WBEM_E_OUT_OF_MEMORY);
    faults.Fail(HostOperation::kPut, "Count", WBEM_E_FAILED);
    faults.Fail(HostOperation::kGetObject, "Other", WBEM_E_FAILED);
    faults.Fail(HostOperation::kSpawnInstance, "Derived", WBEM_E_FAILED);
    faults.Fail(HostOperation::kGetMethod, "Ping", WBEM_E_FAILED);
    faults.Fail(HostOperation::kIndicate, "", WBEM_E_FAILED);
    faults.Run(HostOperation::kGet, "Flag", [&actions] { ++actions; });

    EXPECT_EQ(GetString(base, "Name"), WBEM_E_OUT_OF_MEMORY);
    EXPECT_EQ(CIWbemUtil::setIntToIWbemClassObject(base, "Count", 1), WBEM_E_FAILED);
    EXPECT_EQ(GetBool(base, "Flag"), 0);
    EXPECT_EQ(actions, 1);
    IWbemClassObject* cls = nullptr;
    EXPECT_EQ(m_services->GetObject("Other", 0, nullptr, &cls, nullptr), WBEM_E_FAILED);
    cls = Class("Derived");
    IWbemClassObject* instance = nullptr;
    EXPECT_EQ(cls->SpawnInstance(0, &instance), WBEM_E_FAILED);
    cls->Release();
    cls = Class("Holder");
    IWbemClassObject* out = nullptr;
    EXPECT_EQ(cls->GetMethod("Ping", 0, nullptr, &out), WBEM_E_FAILED);
    cls->Release();
    RecordingSink sink;
    EXPECT_EQ(sink.Indicate(1, &base), WBEM_E_FAILED);
  }
  EXPECT_EQ(GetString(base, "Name"), 0);
  base->Release();
}

TEST(StringUtilTest, ReplacesInOnePass) {
  std::string text = "a-b-a";
  CStringUtil::strReplace(text, "a", "aa");
  EXPECT_EQ(text, "aa-b-aa");
  CStringUtil::strReplace(text, "", "x");
  EXPECT_EQ(text, "aa-b-aa");
  EXPECT_EQ(lstrcmpW("abc", "abc"), 0);
  EXPECT_NE(lstrcmpW("abc", "abd"), 0);
}

}  // namespace
}  // namespace qmx
