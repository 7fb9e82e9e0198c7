// The service link: CSocketClient over the host transport, and the
// provider's one link per request cycle with its guard against a second.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "link/CSocketClient.h"
#include "tests/provider/provider_fixture.h"

namespace {

// While set, arrays the size of the receive buffer cannot be had, as on a
// machine short of memory.
std::atomic<bool> g_refuseReceiveBuffers{false};

}  // namespace

void* operator new[](std::size_t size) {
  if (g_refuseReceiveBuffers &&
      size >= static_cast<std::size_t>(CSocketClient::kReceiveBufferSize)) {
    throw std::bad_alloc();
  }
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace qmx_test {
namespace {

using LinkTest = ProviderFixture;
using qmx::testing::Exchange;

const char kInitialize[] = "CVELTRAX_UpdateManager::SocketClientInitialize()";
const char kDeinitialize[] =
    "CVELTRAX_UpdateManager::SocketClientDeinitialize()";

TEST_F(LinkTest, ConfiguresItsTransportForTheService) {
  CSocketClient client;
  EXPECT_EQ(transport_.LastComponentName(), "umprovider");
  EXPECT_EQ(transport_.LastConfigPath(),
            "/opt/veltrax/qmx/um/SocketConfig.ini");
  EXPECT_TRUE(client.Initialize());
  EXPECT_TRUE(client.Connect());
  char raw[4] = {};
  EXPECT_EQ(client.Send(raw, 4, 0), -1);
  EXPECT_EQ(client.Receive(raw, 4, 0), -1);
}

// Only -1 from the transport is a failure.
TEST_F(LinkTest, TakesEveryOtherTransportResultAsSuccess) {
  struct Case {
    int sendResult;
    int recvResult;
    bool sent;
    bool received;
  };
  const Case cases[] = {
      {0, 0, true, true},
      {16, Exchange::kReplyLength, true, true},
      {-5, -5, true, true},
      {-1, -1, false, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.sendResult);
    Exchange exchange;
    exchange.sendResult = test.sendResult;
    exchange.recvResult = test.recvResult;
    exchange.reply = "0000exreboot0000";
    transport_.Push(exchange);
    CSocketClient client;
    EXPECT_EQ(client.Send(std::string("request")), test.sent);
    std::string reply = "before";
    EXPECT_EQ(client.Receive(&reply), test.received);
    // A failed receive leaves the caller's text as it was.
    EXPECT_EQ(reply, test.received ? "0000exreboot0000" : "before");
  }
}

TEST_F(LinkTest, CutsAReplyAtItsFirstNul) {
  Reply(std::string("0000exreboot0000\0tail", 21));
  CSocketClient client;
  ASSERT_TRUE(client.Send(std::string("request")));
  std::string reply;
  ASSERT_TRUE(client.Receive(&reply));
  EXPECT_EQ(reply, "0000exreboot0000");
}

TEST_F(LinkTest, FailsAReceiveWithoutItsBuffer) {
  Reply("0000exreboot0000");
  Reply("0000exreboot0000");
  g_refuseReceiveBuffers = true;
  {
    CSocketClient client;
    ASSERT_TRUE(client.Send(std::string("request")));
    std::string reply = "before";
    EXPECT_FALSE(client.Receive(&reply));
    EXPECT_EQ(reply, "before");
  }
  EXPECT_EQ(Code(core()->ExecuteReboot(nullptr, nullptr)), 0x1001u);
  g_refuseReceiveBuffers = false;
  EXPECT_TRUE(Traced(TRACE_ERROR,
                     "bool CSocketClient::Receive(std::string*) bad_alloc error"));
  EXPECT_TRUE(Traced(TRACE_ERROR,
                     Prefix("ExecuteReboot") + " ReceiveMessage is failed"));
}

TEST_F(LinkTest, RefusesASecondLinkAndKeepsTheFirst) {
  Reply("0000exreboot0000");
  long first = 0;
  ASSERT_TRUE(core()->SocketClientInitialize(&first));
  EXPECT_EQ(first, 0);

  capture_->Clear();
  long second = 0;
  EXPECT_FALSE(core()->SocketClientInitialize(&second));
  EXPECT_EQ(second, 1);
  const std::string prefix = std::string(kInitialize) + " ";
  EXPECT_EQ(capture_->Texts(),
            (std::vector<std::string>{prefix + "[START]",
                                      prefix + "socket competition error",
                                      prefix + "[END]"}));
  EXPECT_TRUE(Traced(TRACE_ERROR, prefix + "socket competition error"));

  EXPECT_TRUE(core()->SendMessage("0000exreboot0000"));
  std::string reply;
  EXPECT_TRUE(core()->ReceiveMessage(&reply));
  EXPECT_EQ(reply, "0000exreboot0000");
  core()->SocketClientDeinitialize();
  EXPECT_EQ(transport_.Constructed(), 1);
  EXPECT_EQ(transport_.Requests(),
            std::vector<std::string>{"0000exreboot0000"});

  // Closed links can be opened again.
  long third = 0;
  EXPECT_TRUE(core()->SocketClientInitialize(&third));
  core()->SocketClientDeinitialize();
}

TEST_F(LinkTest, ClosingWithoutALinkOnlyTraces) {
  core()->SocketClientDeinitialize();
  const std::string prefix = std::string(kDeinitialize) + " ";
  EXPECT_EQ(capture_->Texts(),
            (std::vector<std::string>{prefix + "[START]", prefix + "[END]"}));
  EXPECT_EQ(transport_.Constructed(), 0);
}

// Calls from many host threads on one provider: each cycle either holds the
// only link or is refused at once.
TEST_F(LinkTest, OneLinkAtATimeAcrossThreads) {
  const int kThreads = 8;
  const int kCallsPerThread = 25;
  for (int i = 0; i < kThreads * kCallsPerThread; ++i) {
    Exchange exchange;
    exchange.reply = "0000exreboot0000";
    exchange.duringReceive = [] {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    };
    transport_.Push(exchange);
  }
  std::atomic<int> served{0};
  std::atomic<int> refused{0};
  std::atomic<int> other{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kCallsPerThread; ++i) {
        uint32_t result = Call("ExecuteReboot").returnValue();
        if (result == 0) {
          ++served;
        } else if (result == 0x1002u) {
          ++refused;
        } else {
          ++other;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(served + refused, kThreads * kCallsPerThread);
  EXPECT_EQ(transport_.MostAlive(), 1);
  EXPECT_EQ(transport_.Constructed(), served.load());
  EXPECT_GT(served.load(), 0);
  RecordProperty("served", served.load());
  RecordProperty("refused", refused.load());
}

TEST_F(LinkTest, TakesAReplyThatFillsTheBuffer) {
  const std::string reply(CSocketClient::kReceiveBufferSize - 1, 'r');
  Reply(reply);
  CSocketClient client;
  ASSERT_TRUE(client.Send(std::string("request")));
  std::string received;
  ASSERT_TRUE(client.Receive(&received));
  EXPECT_EQ(received.size(), reply.size());
}

}  // namespace
}  // namespace qmx_test
