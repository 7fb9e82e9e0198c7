// The service link: CSocketClient over the host transport. The provider's
// one link at a time across host threads is the stress test's.

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "link/CSocketClient.h"
#include "tests/provider/provider_fixture.h"

// While set, arrays the size of the receive buffer cannot be had, as on a
// machine short of memory.
static std::atomic<bool> g_refuseReceiveBuffers{false};

void* operator new[](std::size_t size) {
  bool receiveBuffer = size >= static_cast<std::size_t>(CSocketClient::kReceiveBufferSize);
  void* memory = g_refuseReceiveBuffers && receiveBuffer ? nullptr : std::malloc(size + 1);
  if (memory == nullptr) throw std::bad_alloc();
  // Not the zeros of fresh memory: what a transport leaves unwritten is no
  // empty reply by chance.
  if (receiveBuffer) static_cast<char*>(memory)[0] = '?';
  return memory;
}

void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace qmx_test {
namespace {

using LinkTest = ProviderTest;

TEST_F(LinkTest, MovesWholeMessagesOverTheTransport) {
  // received: "before" when the receive fails and leaves the text alone.
  struct Case { int sendResult, recvResult; std::string reply; bool refuseBuffer, sent; std::string received; };
  const std::string full(CSocketClient::kReceiveBufferSize - 1, 'r');
  const Case cases[] = {
      {-5, -5, "0000exreboot0000", false, true, "0000exreboot0000"},  // only -1 fails
      {-1, -1, "0000exreboot0000", false, false, "before"},
      {0, kReplyLength, std::string("abc\0tail", 8), false, true, "abc"},
      {0, kReplyLength, full, false, true, full},
      {0, kReplyLength, "0000exreboot0000", true, true, "before"},
      {0, 0, "", false, true, ""},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.received.substr(0, 16));
    // An empty reply: the transport writes nothing at all.
    transport_.Push({test.sendResult, test.recvResult, test.reply, nullptr, test.reply.empty()});
    CSocketClient client;
    EXPECT_EQ(client.Send(std::string("request")), test.sent);
    std::string reply = "before";
    g_refuseReceiveBuffers = test.refuseBuffer;
    EXPECT_EQ(client.Receive(&reply), test.received != "before");
    g_refuseReceiveBuffers = false;
    EXPECT_EQ(reply, test.received);
  }
  EXPECT_EQ(transport_.LastComponentName(), "umprovider");
  EXPECT_EQ(transport_.LastConfigPath(), "/opt/veltrax/qmx/um/SocketConfig.ini");
  EXPECT_TRUE(Traced(TRACE_ERROR, "bool CSocketClient::Receive(std::string*) bad_alloc error"));
}

}  // namespace
}  // namespace qmx_test
