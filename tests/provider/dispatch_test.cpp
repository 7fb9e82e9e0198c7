// The dispatcher: which operation a method name reaches, what the caller's
// sink receives on each path, how exceptions end a call, and what the
// shipped library exports.

#include <dlfcn.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/provider/provider_fixture.h"

namespace qmx_test {
namespace {

using qmx::testing::HostOperation;

const HRESULT kNotImplemented = WBEM_E_METHOD_NOT_IMPLEMENTED;
const char kDispatch[] = "CVELTRAX_UpdateManager::ExecMethodAsync";

// Runs against the static copy and against the library a host loads.
class DispatchTest : public ProviderFixture,
                     public ::testing::WithParamInterface<ProviderBuild> {
 protected:
  ProviderBuild Build() const override { return GetParam(); }

  // The lines every call that reaches the end of the dispatcher writes.
  void ExpectEndTraces(uint32_t methodResult, HRESULT status) {
    char mr[64];
    snprintf(mr, sizeof(mr), "%s mr=0x%08x", kDispatch, methodResult);
    EXPECT_TRUE(Traced(TRACE_DETAIL, mr)) << mr;
    char hr[64];
    snprintf(hr, sizeof(hr), "%s hr=0x%08x", kDispatch,
             static_cast<uint32_t>(status));
    EXPECT_EQ(Traced(TRACE_ERROR, hr), status != WBEM_S_NO_ERROR) << hr;
    EXPECT_TRUE(Traced(TRACE_FUNCTION, std::string(kDispatch) + "() [END]"));
  }
};

INSTANTIATE_TEST_SUITE_P(
    Builds, DispatchTest,
    ::testing::Values(ProviderBuild::kCore, ProviderBuild::kLibrary),
    [](const ::testing::TestParamInfo<ProviderBuild>& info) {
      return info.param == ProviderBuild::kCore ? "Core" : "Library";
    });

TEST_P(DispatchTest, CreatesAProviderThatNamesItself) {
  capture_->Clear();
  std::unique_ptr<CVELTRAX_ServerService> provider(CreateProvider());
  ASSERT_TRUE(provider);
  EXPECT_EQ(provider->GetProviderName(), "umprovider");
  EXPECT_EQ(provider->GetVendor(), "veltrax");
  EXPECT_EQ(provider->GetVersion(), "42.0");
  const std::vector<std::string> texts = capture_->Texts();
  ASSERT_FALSE(texts.empty());
  const std::string prefix =
      "CVELTRAX_UpdateManager::CVELTRAX_UpdateManager() ";
  EXPECT_EQ(texts.front(), prefix + "[START]");
  EXPECT_EQ(texts.back(), prefix + "[END]");
}

TEST_P(DispatchTest, EachServedNameReachesItsOperation) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"GetAutoDownloadSetting", "0000gtatdnld0000"},
      {"SetAutoDownloadSetting", "0011statdnld00000;0;;;;0;;;;;;;;;"},
      {"DownloadAll", "000Bexmndnld00000;;;;;;;;;;"},
      {"GetAutoUpdateSetting", "0000gtatupdt0000"},
      {"SetAutoUpdateSetting", "0006statupdt00000;0;;;"},
      {"UpdateAll", "0000exmnupdt0000"},
      {"RollbackAll", "0000exmnrlbk0000"},
      {"NoticeModuleUpdate", "0000mdulupdt0000"},
      {"ExecuteReboot", "0000exreboot0000"},
      {"GetQmxStatus", "0000gustatus0000"},
  };
  for (const auto& [method, request] : cases) {
    SCOPED_TRACE(method);
    transport_.PushReply("0000" + request.substr(4, 8) + "0000");
    CallResult result = Call(method);
    EXPECT_EQ(result.status, WBEM_S_NO_ERROR);
    EXPECT_EQ(result.statuses(), std::vector<HRESULT>{WBEM_S_NO_ERROR});
    EXPECT_EQ(result.sink->Indicated().size(), 1u);
    ASSERT_FALSE(transport_.Requests().empty());
    EXPECT_EQ(transport_.Requests().back(), request);
  }
  EXPECT_EQ(transport_.Constructed(), static_cast<int>(cases.size()));
}

TEST_P(DispatchTest, ServesTheProviderVersionThroughTheHost) {
  CallResult result = Call("GetProviderVersion");
  EXPECT_EQ(result.status, WBEM_S_NO_ERROR);
  EXPECT_EQ(result.statuses(), std::vector<HRESULT>{WBEM_S_NO_ERROR});
  ASSERT_NE(result.out(), nullptr);
  EXPECT_EQ(ReadString(result.out(), "Version"), "42.0");
  EXPECT_EQ(result.returnValue(), 0u);
  EXPECT_EQ(transport_.Constructed(), 0);
  EXPECT_TRUE(Traced(TRACE_FUNCTION, std::string(kDispatch) + "() [START]"));
  EXPECT_TRUE(Traced(TRACE_DETAIL, std::string(kDispatch) +
                                       "() MethodName = GetProviderVersion"));
  ExpectEndTraces(0, WBEM_S_NO_ERROR);
}

TEST_P(DispatchTest, PassesOtherLetterCaseToTheBase) {
  for (const char* method : {"getqmxstatus", "UPDATEALL", "executeReboot"}) {
    SCOPED_TRACE(method);
    CallResult result = Call(method, nullptr);
    EXPECT_EQ(result.status, kNotImplemented);
    // The base reports first, then the provider once with the base's result.
    EXPECT_EQ(result.statuses(),
              (std::vector<HRESULT>{kNotImplemented, kNotImplemented}));
    EXPECT_TRUE(result.sink->Indicated().empty());
  }
  EXPECT_EQ(transport_.Constructed(), 0);
  ExpectEndTraces(0, kNotImplemented);
}

TEST_P(DispatchTest, FailsAMethodTheClassDoesNotDeclare) {
  CallResult result = Call("Frobnicate", nullptr);
  EXPECT_EQ(Code(result.status), 0x80000001u);
  EXPECT_TRUE(result.statuses().empty());
  EXPECT_TRUE(result.sink->Indicated().empty());
  EXPECT_TRUE(TracedContaining("ExecMethodAsync() GetMethod is failed 8004"));
  EXPECT_FALSE(Traced(TRACE_FUNCTION, std::string(kDispatch) + "() [END]"));
}

// Each way an exception can leave an operation, and how the call ends.
struct ThrowCase {
  std::string method;
  std::string reply;
  HostOperation operation;
  std::string name;
  std::function<void()> thrower;
  std::string traced;  // after "CVELTRAX_UpdateManager::ExecMethodAsync() "
  uint32_t methodResult = 0;  // "mr": the operation's result if it returned
};

// Throws the first time only, so that the dispatcher's own Indicate of the
// failed call goes through.
std::function<void()> ThrowOnce() {
  auto thrown = std::make_shared<bool>(false);
  return [thrown] {
    if (*thrown) return;
    *thrown = true;
    throw std::runtime_error("late");
  };
}

TEST_P(DispatchTest, TurnsAnExceptionIntoAFailedCall) {
  const std::vector<ThrowCase> cases = {
      {"UpdateAll", "0000exmnupdt000000000001", HostOperation::kPut, "Reboot",
       [] { throw std::bad_alloc(); }, "[exception:std::bad_alloc]"},
      {"RollbackAll", "0000exmnrlbk000000000001", HostOperation::kPut,
       "Reboot", [] { throw std::runtime_error("boom"); }, "[exception:boom]"},
      {"UpdateAll", "0000exmnupdt000000000001", HostOperation::kPut, "Reboot",
       [] { throw 7; }, "unknown exception"},
      {"GetAutoUpdateSetting", "0000gtatupdt00001;0;;;",
       HostOperation::kGetObject, "Veltrax_UpdateSchedule",
       [] { throw std::runtime_error("boom"); }, "[exception:boom]"},
      {"SetAutoUpdateSetting", "", HostOperation::kGet, "DayOfWeek",
       [] { throw 7; }, "unknown exception"},
      {"ExecuteReboot", "0000exreboot00A5", HostOperation::kIndicate, "",
       ThrowOnce(), "[exception:late]", 0xA5},
  };
  for (const ThrowCase& test : cases) {
    SCOPED_TRACE(test.method + " " + test.traced);
    capture_->Clear();
    if (!test.reply.empty()) Reply(test.reply);
    {
      qmx::testing::FaultInjection faults;
      faults.Run(test.operation, test.name, test.thrower);
      CallResult result = Call(test.method);
      EXPECT_EQ(Code(result.status), 0x80041001u);
      EXPECT_EQ(result.statuses(), std::vector<HRESULT>{WBEM_E_FAILED});
      EXPECT_EQ(result.sink->Indicated().size(), 1u);
      EXPECT_EQ(result.returnValue(), 0x80000002u);
    }
    EXPECT_TRUE(TracedUnder(provider_->GetProviderName(), TRACE_EXCEPTION,
                            std::string(kDispatch) + "() " + test.traced));
    ExpectEndTraces(test.methodResult, WBEM_E_FAILED);
    // Nothing of the failed call is left holding the link.
    Reply("0000exreboot0000");
    EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0u);
  }
}

// An exception from the transport while the link is open must not leave the
// link claimed: every later call of the provider would be refused.
TEST_P(DispatchTest, AnExceptionInTheTransportFreesTheLink) {
  qmx::testing::Exchange throwing;
  throwing.reply = "0000exreboot0000";
  throwing.duringReceive = [] { throw std::runtime_error("boom"); };
  transport_.Push(throwing);
  EXPECT_EQ(Code(Call("ExecuteReboot").status), 0x80041001u);

  Reply("0000exreboot0000");
  EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0u);
}

// A repository of the tests' own: names that extend served ones, declared
// so that they pass the method lookup.
class LongerNamesTest : public ProviderFixture {
 protected:
  IWbemServices* LoadServices() override {
    return LoadMofText(
        "class VELTRAX_UpdateManager {\n"
        "  uint32 GetQmxStatusEx();\n"
        "  uint32 UpdateAllNow([Out] sint32 Reboot);\n"
        "};\n");
  }
};

TEST_F(LongerNamesTest, PassesThemToTheBase) {
  for (const char* method : {"GetQmxStatusEx", "UpdateAllNow"}) {
    SCOPED_TRACE(method);
    CallResult result = Call(method, nullptr);
    EXPECT_EQ(result.status, kNotImplemented);
    EXPECT_EQ(result.statuses(),
              (std::vector<HRESULT>{kNotImplemented, kNotImplemented}));
    EXPECT_TRUE(result.sink->Indicated().empty());
  }
  EXPECT_EQ(transport_.Constructed(), 0);
}

// Only what the class declares is dispatched, even a name the base serves.
TEST_F(LongerNamesTest, FailsTheUndeclaredVersionMethod) {
  CallResult result = Call("GetProviderVersion", nullptr);
  EXPECT_EQ(Code(result.status), 0x80000001u);
  EXPECT_TRUE(result.statuses().empty());
}

// Services without the provider's class, or none at all.
class NoClassTest : public ProviderFixture,
                    public ::testing::WithParamInterface<bool> {
 protected:
  IWbemServices* LoadServices() override {
    if (!GetParam()) return nullptr;
    return LoadMofText("class Veltrax_Other {\n  uint32 GetQmxStatus();\n};\n");
  }
};

INSTANTIATE_TEST_SUITE_P(WithAndWithoutServices, NoClassTest,
                         ::testing::Bool());

TEST_P(NoClassTest, ReportsNotSupportedOnce) {
  CallResult result = Call("GetQmxStatus", nullptr);
  EXPECT_EQ(Code(result.status), 0x8004100Cu);
  EXPECT_EQ(result.statuses(), std::vector<HRESULT>{WBEM_E_NOT_SUPPORTED});
  EXPECT_TRUE(result.sink->Indicated().empty());
  EXPECT_TRUE(
      Traced(TRACE_ERROR, std::string(kDispatch) + "() pClass == NULL"));
  EXPECT_EQ(transport_.Constructed(), 0);
}

// The names a host may find in the library: the factory and nothing else.
TEST(ProviderLibraryTest, ExportsOnlyTheFactory) {
  std::string command =
      std::string("nm -D --defined-only ") + QMX_PROVIDER_LIBRARY;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> names;
  char line[1024];
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    std::string text(line);
    text.erase(text.find_last_not_of("\n") + 1);
    names.push_back(text.substr(text.rfind(' ') + 1));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(names, std::vector<std::string>{"create"});

  void* library = dlopen(QMX_PROVIDER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_NE(dlsym(library, "create"), nullptr);
  for (const char* internal :
       {"_ZN22CVELTRAX_UpdateManagerC1Ev",
        "_ZN22CVELTRAX_UpdateManager12GetQmxStatusEP16IWbemClassObjectS1_",
        "_ZN13CSocketClient7ReceiveEPNSt7__cxx1112basic_stringIcSt11char_"
        "traitsIcESaIcEEE"}) {
    EXPECT_EQ(dlsym(library, internal), nullptr) << internal;
  }
  dlclose(library);
}

}  // namespace
}  // namespace qmx_test
