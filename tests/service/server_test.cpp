// The service's command line, and the server's handling of slow, pending
// and oversized requests. Its state across restarts is the integration
// tests' business; its socket, restarts after a crash, peers of another user
// and SIGTERM the fault tests'.

#include "service/server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "service/protocol.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_socket.h"

namespace qmx {
namespace service {
namespace {

using support::Exchange;
using support::Request;

// Help; a mistake on the command line (status 2); the configuration and the
// state it names, under QMX_ROOT: the state's folder is made, and a socket
// path that holds something else ends the start (status 1).
TEST(ProcessTest, CommandLineIsReadAsDocumented) {
  support::TempRoot root;
  root.WriteFile("/c.ini", "[Socket]\nPath=/x\n");
  root.WriteFile("/x", "");
  const char* const service = QMXUPDTMNGR_PATH;
  const struct { std::vector<std::string> args; int exit_code; std::string said; } cases[] = {
      {{service, "--help"}, 0, "usage: qmxupdtmngr [--config PATH] [--state PATH]\n"},
      {{service, "-h", "--bogus"}, 2, "\"--bogus\"\nTry 'qmxupdtmngr --help' for more"},
      {{service, "--state"}, 2, "qmxupdtmngr: --state needs a path\n"},
      {{service, "--config", "", "-h"}, 2, "qmxupdtmngr: --config needs a path\n"},
      {{service, "--config", "/c.ini", "--state", "/s/state"}, 1,
       root.PathOf("/x") + " exists and is not a socket"},
  };
  for (const auto& c : cases) {
    support::CommandResult result = support::RunCommand({c.args, {{"QMX_ROOT", root.dir()}}});
    EXPECT_EQ(result.exit_code, c.exit_code) << result.Describe();
    EXPECT_NE((result.out + result.err).find(c.said), std::string::npos) << result.Describe();
  }
  EXPECT_TRUE(root.Exists("/s"));
}

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
// others are served; a request one byte longer than the largest is refused
// whole, though its first bytes are a well-formed one. Stop then removes the
// socket.
TEST_F(ServerTest, StuckClientIsDroppedWhileOthersAreServed) {
  std::thread runner(&Server::Run, &server_);
  int stuck = support::ConnectUnix(socket_);
  EXPECT_TRUE(support::SendAll(stuck, "0000gust"));
  EXPECT_EQ(Exchange(socket_, Request("gustatus")), "0000gustatus0000");
  const std::string largest = Request("statupdt", "1;0;;;" + std::string(kMaxBodySize - 7, 't'));
  EXPECT_EQ(Exchange(socket_, largest + "xx"), "0000statupdt0016");
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
