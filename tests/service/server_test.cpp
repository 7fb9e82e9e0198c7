// The service as a process (its private files, another instance, SIGTERM)
// and the server's handling of slow and pending clients. Its state across
// restarts is the integration tests' business, peers of another user the
// fault tests'.

#include "service/server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_socket.h"

namespace qmx {
namespace service {
namespace {

using support::Exchange;
using support::Request;

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { root_.WriteSocketConfig(); }

  support::TempRoot root_;
  support::ServiceProcess service_{QMXUPDTMNGR_PATH, &root_};
};

// Its socket and journal are private: values may hold passwords. (Stops,
// replies and journal lines are the fault tests'.)
TEST_F(ProcessTest, KeepsItsSocketAndJournalPrivate) {
  service_.Start();
  Exchange(root_.SocketPath(), Request("exreboot"));
  for (const std::string& path :
       {root_.SocketPath(), root_.PathOf(support::kServiceJournalPath)}) {
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << path;
  }
}

TEST_F(ProcessTest, LiveInstanceIsKeptAndStaleSocketReplaced) {
  // A socket file that refuses connections, as a crashed service leaves.
  root_.WriteFile("/var/run/qmx/.keep", "");
  close(support::ListenUnix(root_.SocketPath()));
  service_.Start();
  support::ServiceProcess second(QMXUPDTMNGR_PATH, &root_);
  EXPECT_THROW(second.Start(), std::runtime_error);
  EXPECT_EQ(Exchange(root_.SocketPath(), Request("gustatus")),
            "0000gustatus0000");
  EXPECT_NE(service_.Log().find("replaced stale socket"), std::string::npos);
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
// others are served; Stop then removes the socket.
TEST_F(ServerTest, StuckClientIsDroppedWhileOthersAreServed) {
  std::thread runner(&Server::Run, &server_);
  int stuck = support::ConnectUnix(socket_);
  EXPECT_TRUE(support::SendAll(stuck, "0000gust"));
  EXPECT_EQ(Exchange(socket_, Request("gustatus")), "0000gustatus0000");
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
