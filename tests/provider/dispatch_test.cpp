// The dispatcher: the provider it creates, what the caller's sink receives
// on each path, and how exceptions end a call. (What the library imports
// is the ELF check's business.)

#include <future>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/provider/provider_fixture.h"

namespace qmx_test {
namespace {

using DispatchTest = ProviderTest;
using qmx::testing::HostOperation;

const std::string kDispatch = "CVELTRAX_UpdateManager::ExecMethodAsync";

TEST_F(DispatchTest, CreatesAProviderThatNamesItselfAndItsVersion) {
  std::unique_ptr<CVELTRAX_ServerService> provider(Create());
  EXPECT_EQ(provider->GetProviderName() + " " + provider->GetVendor(), "umprovider veltrax");
  const std::string prefix = Prefix("CVELTRAX_UpdateManager");
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         prefix + "[START]", "Veltrax_UpdateManager.dll version 42.0", prefix + "[END]"}));
}

// Calls that no operation serves, or no class describes: the sink's
// statuses and the one error line.
TEST_F(DispatchTest, LeavesOtherCallsToTheBaseOrFailsThem) {
  const char kLonger[] = "class VELTRAX_UpdateManager { uint32 UpdateAllNow(); };";
  // mof: the classes from here on, "" none; null keeps the product's.
  // reports: how often the sink gets the status; traced: after the
  // dispatcher's name.
  struct Case { const char* mof; const char* method; HRESULT status; size_t reports; std::string traced; };
  const Case cases[] = {
      {nullptr, "UPDATEALL", WBEM_E_METHOD_NOT_IMPLEMENTED, 2, " hr=0x80041055"},
      {nullptr, "Frobnicate", static_cast<HRESULT>(kFailed), 0, "() GetMethod is failed 80041002"},
      {kLonger, "UpdateAllNow", WBEM_E_METHOD_NOT_IMPLEMENTED, 2, " hr=0x80041055"},
      {"", "GetQmxStatus", WBEM_E_NOT_SUPPORTED, 1, "() pClass == NULL"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.method);
    if (test.mof != nullptr) UseMof(*test.mof == '\0' ? nullptr : test.mof);
    capture_->Clear();
    CallResult result = Call(test.method);
    EXPECT_EQ(result.status, test.status);
    // The base reports first, then the provider once with the base's result.
    EXPECT_EQ(result.statuses(), std::vector<HRESULT>(test.reports, test.status));
    EXPECT_TRUE(result.sink->Indicated().empty());
    EXPECT_TRUE(Traced(TRACE_ERROR, kDispatch + test.traced));
    EXPECT_EQ(Traced(TRACE_FUNCTION, kDispatch + "() [END]"), test.reports == 2);
  }
  EXPECT_EQ(transport_.Constructed(), 0);
}

// The host's lstrcmpW compares GetProviderVersion alone, once every entry
// before it (all but GetQmxStatus) has been passed over by an exact
// compare: a compare that throws fails only those two methods.
TEST_F(DispatchTest, ComparesOnlyGetProviderVersionWithTheHost) {
  for (const qmx::support::Sample& method : qmx::support::Samples()) {
    const std::string name = method.method;
    qmx::testing::FaultInjection faults;
    faults.Run(HostOperation::kCompare, name, [] { throw std::runtime_error("compare"); });
    capture_->Clear();
    Call(name);
    EXPECT_EQ(Traced(TRACE_EXCEPTION, kDispatch + "() [exception:compare]"),
              name == "GetProviderVersion" || name == "GetQmxStatus")
        << name;
  }
}

TEST_F(DispatchTest, TurnsAnExceptionIntoAFailedCall) {
  auto boom = [] { throw std::runtime_error("boom"); };
  // Throws once only, so that the dispatcher's own Indicate goes through.
  auto once = [thrown = std::make_shared<bool>(false)] {
    if (*thrown) return;
    *thrown = true;
    throw std::runtime_error("late");
  };
  auto noMemory = [] { throw std::bad_alloc(); };
  // A trace line that cannot be written while the link closes, on its way
  // and while an exception unwinds; once the link is claimed, or given back.
  const char* closing = "CVELTRAX_UpdateManager::SocketClientDeinitialize() [START]";
  const char* opened = "CVELTRAX_UpdateManager::SocketClientInitialize() [END]";
  const char* closed = "CVELTRAX_UpdateManager::SocketClientDeinitialize() [END]";
  // Another call takes the link the first has just given back, and holds it
  // in its receive while the first one's exception unwinds.
  std::promise<void> holding, letGo;
  std::shared_future<void> released = letGo.get_future().share();
  std::thread other;
  uint32_t otherResult = 0;
  auto takeOver = [&, thrown = std::make_shared<bool>(false)] {
    if (std::exchange(*thrown, true)) return;
    transport_.Push({0, kReplyLength, "0000exreboot0000", [&] {
                       holding.set_value();
                       released.wait();
                     }});
    other = std::thread([&] { otherResult = Call("ExecuteReboot").returnValue(); });
    holding.get_future().wait();
    throw std::bad_alloc();
  };
  // Its link was left alone: still in use until it ends, with success.
  auto otherEnds = [&] {
    EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0x1002u);
    letGo.set_value();
    other.join();
    EXPECT_EQ(otherResult, 0u);
  };
  // thrower: run by the operation on the name; receive: by the transport;
  // mr: the operation's result, if it returned; after: run once it has.
  struct Case { const char* method; const char* reply; HostOperation operation; const char* name;
                std::function<void()> thrower, receive; std::string traced, mr = "0x00000000";
                std::function<void()> after = nullptr; };
  const Case cases[] = {
      {"UpdateAll", "0000exmnupdt000000000001", HostOperation::kPut, "Reboot", noMemory,
       nullptr, "[exception:std::bad_alloc]"},
      {"GetAutoUpdateSetting", "0000gtatupdt00001;0;;;", HostOperation::kGetObject,
       "Veltrax_UpdateSchedule", boom, nullptr, "[exception:boom]"},
      {"SetAutoUpdateSetting", "", HostOperation::kGet, "DayOfWeek", [] { throw 7; }, nullptr,
       "unknown exception"},
      {"ExecuteReboot", "0000exreboot00A5", HostOperation::kIndicate, "", once, nullptr,
       "[exception:late]", "0x000000a5"},
      {"ExecuteReboot", "0000exreboot0000", HostOperation::kTrace, closing, noMemory, nullptr,
       "[exception:std::bad_alloc]"},
      {"ExecuteReboot", "0000exreboot0000", HostOperation::kTrace, closing, noMemory, boom,
       "[exception:boom]"},
      {"ExecuteReboot", "0000exreboot0000", HostOperation::kTrace, opened, noMemory, nullptr,
       "[exception:std::bad_alloc]"},
      {"GetQmxStatus", "0000gustatus0000", HostOperation::kTrace, closed, takeOver, nullptr,
       "[exception:std::bad_alloc]", "0x00000000", otherEnds},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.method + (" " + test.traced));
    capture_->Clear();
    {
      qmx::testing::FaultInjection faults;
      faults.Run(test.operation, test.name, test.thrower);
      if (*test.reply != '\0') transport_.Push({0, kReplyLength, test.reply, test.receive});
      CallResult result = Call(test.method);
      EXPECT_EQ(result.status, WBEM_E_FAILED);
      EXPECT_EQ(result.statuses(), std::vector<HRESULT>{WBEM_E_FAILED});
      EXPECT_EQ(result.sink->Indicated().size(), 1u);
      EXPECT_EQ(result.returnValue(), 0x80000002u);
      if (test.after) test.after();
    }
    EXPECT_TRUE(Traced(TRACE_EXCEPTION, kDispatch + "() " + test.traced));
    EXPECT_TRUE(Traced(TRACE_DETAIL, kDispatch + " mr=" + test.mr));
    EXPECT_TRUE(Traced(TRACE_ERROR, kDispatch + " hr=0x80041001"));
    EXPECT_TRUE(Traced(TRACE_FUNCTION, kDispatch + "() [END]"));
    // Nothing of the failed call is left holding the link.
    Reply("0000exreboot0000");
    EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0u);
  }
  // Nor of a call whose transport cannot be made: the next one gets the link
  // (and finds no service, for lack of a transport of the test's).
  qmx::testing::SetTransportFactory([](const std::string&, const std::string&)
                                        -> std::unique_ptr<qmx::TransportChannel> {
    throw std::runtime_error("no transport");
  });
  EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0x80000002u);
  qmx::testing::SetTransportFactory(nullptr);
  EXPECT_EQ(Call("ExecuteReboot").returnValue(), 0x1001u);
}

}  // namespace
}  // namespace qmx_test
