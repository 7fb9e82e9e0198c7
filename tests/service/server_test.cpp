// The server's handling of slow, pending and oversized requests. The
// service's state across restarts is the integration tests' business; its
// command line, its socket, restarts after a crash, peers of another user
// and SIGTERM the fault tests'.

#include "service/server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "service/protocol.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_socket.h"

namespace qmx {
namespace service {
namespace {

using support::Exchange;
using support::Request;

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
// others are served; one that ends it empty is told it is malformed; a
// request one byte longer than the largest is refused whole, though its
// first bytes are a well-formed one, and so is one of 300 KB, whose sender
// would be reset before reading the answer if the rest were left unread.
// Stop then removes the socket.
TEST_F(ServerTest, StuckClientIsDroppedWhileOthersAreServed) {
  std::thread runner(&Server::Run, &server_);
  int stuck = support::ConnectUnix(socket_);
  EXPECT_TRUE(support::SendAll(stuck, "0000gust"));
  EXPECT_EQ(Exchange(socket_, Request("gustatus")), "0000gustatus0000");
  EXPECT_EQ(Exchange(socket_, ""), "0000????????0010");  // said nothing, waits for the answer
  const std::string largest = Request("statupdt", "1;0;;;" + std::string(kMaxBodySize - 7, 't'));
  for (size_t more : {2, 300000}) {
    EXPECT_EQ(Exchange(socket_, largest + std::string(more, 'x')), "0000statupdt0016");
  }
  EXPECT_EQ(support::ReadToEnd(stuck), "");
  close(stuck);
  server_.Stop();
  runner.join();
  EXPECT_FALSE(root_.Exists("/s.sock"));
}

// Clients already connected when the stop comes are still answered.
TEST_F(ServerTest, StopAnswersConnectionsInHand) {
  int waiting = support::ConnectUnix(socket_);
  EXPECT_TRUE(support::SendAll(waiting, Request("gustatus")));
  shutdown(waiting, SHUT_WR);
  server_.Stop();
  server_.Run();
  EXPECT_EQ(support::ReadToEnd(waiting), "0000gustatus0000");
  close(waiting);
}

}  // namespace
}  // namespace service
}  // namespace qmx
