// The service as a process (its command line, its private files, another
// instance, a stale socket) and the server's handling of slow, pending and
// oversized requests. Its state across restarts is the integration tests'
// business, peers of another user and SIGTERM the fault tests'.

#include "service/server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
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

namespace fs = std::filesystem;
using support::Exchange;
using support::Request;

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { root_.WriteSocketConfig(); }

  support::TempRoot root_;
  support::ServiceProcess service_{QMXUPDTMNGR_PATH, &root_};
};

// Help; a mistake on the command line (status 2); the configuration and the
// state it names, under QMX_ROOT: the state's folder is made, and a socket
// path that holds something else ends the start (status 1).
TEST_F(ProcessTest, CommandLineIsReadAsDocumented) {
  root_.WriteFile("/c.ini", "[Socket]\nPath=/x\n");
  root_.WriteFile("/x", "");
  const struct { std::vector<std::string> args; int exit_code; std::string said; } cases[] = {
      {{"--help"}, 0, "usage: qmxupdtmngr [--config PATH] [--state PATH]\n"},
      {{"-h", "--bogus"}, 2, "\"--bogus\"\nTry 'qmxupdtmngr --help' for more information.\n"},
      {{"--state"}, 2, "qmxupdtmngr: --state needs a path\n"},
      {{"--config", "", "-h"}, 2, "qmxupdtmngr: --config needs a path\n"},
      {{"--config", "/c.ini", "--state", "/s/state"}, 1,
       root_.PathOf("/x") + " exists and is not a socket"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), QMXUPDTMNGR_PATH);
    support::CommandResult result = support::RunCommand({argv, {{"QMX_ROOT", root_.dir()}}});
    EXPECT_EQ(result.exit_code, c.exit_code) << result.Describe();
    EXPECT_NE((result.out + result.err).find(c.said), std::string::npos) << result.Describe();
  }
  EXPECT_TRUE(root_.Exists("/s"));
}

// A socket file that refuses connections, as a crashed service leaves, is
// replaced; a second instance finds the first listening and leaves it be.
// The socket and the journal are private, since values may hold passwords,
// and the look for a live instance keeps no descriptor.
TEST_F(ProcessTest, ReplacesAStaleSocketKeepsALiveOneAndItsFilesPrivate) {
  root_.WriteFile("/var/run/qmx/.keep", "");
  close(support::ListenUnix(root_.SocketPath()));
  service_.Start();
  support::ServiceProcess second(QMXUPDTMNGR_PATH, &root_);
  EXPECT_THROW(second.Start(), std::runtime_error);
  EXPECT_EQ(Exchange(root_.SocketPath(), Request("exreboot")), "0000exreboot0000");
  EXPECT_NE(service_.Log().find("replaced stale socket"), std::string::npos);
  for (const std::string& path :
       {root_.SocketPath(), root_.PathOf(support::kServiceJournalPath)}) {
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << path;
  }
  int sockets = 0;  // the listener alone
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(service_.pid()) + "/fd")) {
    sockets += fs::read_symlink(fd).string().rfind("socket:", 0) == 0;
  }
  EXPECT_EQ(sockets, 1);
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
