// The server's handling of slow, pending and oversized requests. The
// service's state across restarts is the integration tests' business; its
// command line, its socket, restarts after a crash, peers of another user
// and SIGTERM the fault tests'.

#include "service/server.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "gtest/gtest.h"
#include "service/protocol.h"
#include "service/service_manager.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_socket.h"
#include "tests/support/wire_lists.h"

// While not 0, allocations of at least that many bytes fail, as they would
// with the address space used up.
std::atomic<size_t> g_fail_from{0};

void* operator new(size_t size) {
  void* memory = size < g_fail_from || g_fail_from == 0 ? std::malloc(size ? size : 1) : nullptr;
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
// The pair is malloc and free, which the compiler cannot see across them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace qmx {
namespace service {
namespace {

using support::Exchange;
using support::Request;
using support::ValuesOf;

// A server in this process with a short request time-out.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Listen(&error)) << error;
  }

  support::TempRoot root_;
  const std::string socket_ = root_.PathOf("/s.sock");
  ServiceState state_{ServiceSettings::Defaults(), nullptr, nullptr};
  Server server_{{socket_, 2, 300}, &state_};
};

// A client that never ends its request is dropped after the time-out while
// others are served; one that ends it empty is told it is malformed; the
// largest request is taken, one byte longer is refused whole, though its
// first bytes are a well-formed one, and so is one of 300 KB, whose sender
// would be reset before reading the answer if the rest were left unread.
// A client whose request finds no memory is closed, and only that one.
// Stop then removes the socket.
TEST_F(ServerTest, StuckClientIsDroppedWhileOthersAreServed) {
  std::thread runner(&Server::Run, &server_);
  int stuck = support::ConnectUnix(socket_);
  EXPECT_TRUE(support::SendAll(stuck, "0000gust"));
  EXPECT_EQ(Exchange(socket_, Request("gustatus")), "0000gustatus0000");
  EXPECT_EQ(Exchange(socket_, ""), "0000????????0010");  // said nothing, waits for the answer
  // An update schedule whose first text fills the body to the limit.
  size_t room = kMaxBodySize;
  room -= EncodeValues(ValuesOf(kUpdateScheduleFields, 1, [](auto) { return ""; })).size();
  const std::string largest =
      Request("statupdt", EncodeValues(ValuesOf(kUpdateScheduleFields, 1, [&room](auto) {
                return std::string(std::exchange(room, 0), 't');
              })));
  ASSERT_EQ(largest.size(), kMaxRequestSize);
  EXPECT_EQ(Exchange(socket_, largest), "0000statupdt0000");
  for (size_t more : {1, 300000}) {
    EXPECT_EQ(Exchange(socket_, largest + std::string(more, 'x')), "0000statupdt0016");
  }
  int starved = support::ConnectUnix(socket_);
  const std::string much(50000, 'x');
  g_fail_from = 40000;
  EXPECT_TRUE(support::SendAll(starved, much));
  EXPECT_EQ(support::ReadToEnd(starved), "");
  g_fail_from = 0;
  EXPECT_EQ(Exchange(socket_, Request("gustatus")), "0000gustatus0000");
  close(starved);
  EXPECT_EQ(support::ReadToEnd(stuck), "");
  close(stuck);
  server_.Stop();
  runner.join();
  EXPECT_FALSE(root_.Exists("/s.sock"));
}

// Clients already connected when the stop comes are still answered; then
// the server lets go of every socket.
TEST_F(ServerTest, StopAnswersConnectionsInHand) {
  int waiting = support::ConnectUnix(socket_);
  EXPECT_TRUE(support::SendAll(waiting, Request("gustatus")));
  shutdown(waiting, SHUT_WR);
  server_.Stop();
  server_.Run();
  EXPECT_EQ(support::ReadToEnd(waiting), "0000gustatus0000");
  close(waiting);
  EXPECT_EQ(support::OpenFiles(getpid(), "socket:"), 0);
}

// Readiness goes nowhere when no manager asks for it; a notify socket
// whose name no address can hold is named as the reason it did not go.
TEST(ServiceManagerTest, NotifiesOnlyAnAddressThatFits) {
  std::string error;
  unsetenv("NOTIFY_SOCKET");
  EXPECT_TRUE(NotifyServiceManager("READY=1", &error));
  setenv("NOTIFY_SOCKET", ("@" + std::string(sizeof(sockaddr_un::sun_path), 'n')).c_str(), 1);
  EXPECT_FALSE(NotifyServiceManager("READY=1", &error));
  unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(error, "NOTIFY_SOCKET is too long");
}

// A socket handed to another process is not taken, and the variables go
// either way, so that nothing started later takes them for its own.
TEST(ServiceManagerTest, LeavesASocketMeantForAnotherProcess) {
  setenv("LISTEN_PID", "1", 1);
  setenv("LISTEN_FDS", "1", 1);
  std::string note;
  EXPECT_EQ(TakeListeningSocket(&note), -1);
  EXPECT_EQ(note, "LISTEN_FDS is not for this process; binding the socket here");
  EXPECT_EQ(getenv("LISTEN_PID"), nullptr);
  EXPECT_EQ(getenv("LISTEN_FDS"), nullptr);
}

}  // namespace
}  // namespace service
}  // namespace qmx
