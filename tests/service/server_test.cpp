#include "service/server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "service/files.h"
#include "service/protocol.h"

namespace qmx {
namespace service {
namespace {

std::string Request(const std::string& kind, const std::string& body = "") {
  return Hex4(static_cast<uint16_t>(body.size())) + kind + "0000" + body;
}

int Connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) !=
      0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ReadToEnd(int fd) {
  std::string data;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) data.append(buffer, n);
  return data;
}

// One request the way clients send it; "" when there was no reply.
std::string Exchange(const std::string& path, const std::string& request) {
  int fd = Connect(path);
  if (fd < 0) return "<no connection>";
  WriteAll(fd, request);
  shutdown(fd, SHUT_WR);
  std::string reply = ReadToEnd(fd);
  close(fd);
  return reply;
}

// Runs the real program in a temporary folder.
class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qmxsvc.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    socket_ = dir_ + "/run/qmxupdtmngr.sock";
    std::ofstream(dir_ + "/SocketConfig.ini")
        << "[Socket]\nPath = " << socket_ << "\n";
  }
  void TearDown() override {
    for (pid_t pid : started_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    std::string command = "rm -rf " + dir_;
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  pid_t Launch() {
    pid_t pid = fork();
    if (pid == 0) {
      int log = open((dir_ + "/stderr.log").c_str(),
                     O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(log, STDERR_FILENO);
      unsetenv("QMX_ROOT");
      execl(QMXUPDTMNGR_PATH, "qmxupdtmngr", "--config",
            (dir_ + "/SocketConfig.ini").c_str(), "--state",
            (dir_ + "/lib/state").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    started_.push_back(pid);
    return pid;
  }

  // True once the program accepts connections; false if it exited first.
  bool WaitReady(pid_t pid) {
    for (int tries = 0; tries < 400; ++tries) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return Forget(pid);
      int fd = Connect(socket_);
      if (fd >= 0) {
        close(fd);
        return true;
      }
      usleep(25000);
    }
    return false;
  }

  // The exit status after signal (0: just wait).
  int Finish(pid_t pid, int signal) {
    if (signal != 0) kill(pid, signal);
    int status = -1;
    waitpid(pid, &status, 0);
    Forget(pid);
    return status;
  }

  bool Forget(pid_t pid) {
    started_.erase(std::remove(started_.begin(), started_.end(), pid),
                   started_.end());
    return false;
  }

  std::string dir_;
  std::string socket_;
  std::vector<pid_t> started_;
};

TEST_F(ProcessTest, AnswersPersistsJournalsAndStopsOnSigterm) {
  pid_t pid = Launch();
  ASSERT_TRUE(WaitReady(pid));
  struct stat info;
  ASSERT_EQ(stat(socket_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(Exchange(socket_, Request("statupdt", "1;3;Fri;;02:00")),
            "0000statupdt0000");
  EXPECT_EQ(Exchange(socket_, Request("exreboot")), "0000exreboot0000");
  EXPECT_EQ(Exchange(socket_, "junk"), "0000????????0010");
  int status = Finish(pid, SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(access(socket_.c_str(), F_OK), 0);

  pid = Launch();
  ASSERT_TRUE(WaitReady(pid));
  EXPECT_EQ(Exchange(socket_, Request("gtatupdt")),
            "000Egtatupdt00001;3;Fri;;02:00");
  std::string journal;
  ASSERT_EQ(ReadWholeFile(dir_ + "/lib/journal.log", &journal), 0);
  EXPECT_NE(journal.find("\texreboot\n"), std::string::npos);
}

TEST_F(ProcessTest, LiveInstanceIsKeptAndStaleSocketReplaced) {
  pid_t first = Launch();
  ASSERT_TRUE(WaitReady(first));
  int status = Finish(Launch(), 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(Exchange(socket_, Request("gustatus")), "0000gustatus0000");

  Finish(first, SIGKILL);
  ASSERT_EQ(access(socket_.c_str(), F_OK), 0);  // left behind
  pid_t second = Launch();
  ASSERT_TRUE(WaitReady(second));
  EXPECT_EQ(Exchange(socket_, Request("gustatus")), "0000gustatus0000");
}

TEST_F(ProcessTest, PeerOfAnotherUserGetsNoReply) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  pid_t pid = Launch();
  ASSERT_TRUE(WaitReady(pid));
  // Let the other user reach the socket, so that the credential check (and
  // not the file mode) is what refuses it.
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(chmod(socket_.c_str(), 0666), 0);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    std::string reply = Exchange(socket_, Request("gustatus"));
    _exit(reply.empty() ? 0 : reply == "<no connection>" ? 1 : 2);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Exchange(socket_, Request("gustatus")), "0000gustatus0000");
}

// A server in this process, with a short request time-out.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qmxsrv.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    options_.socket_path = dir_ + "/s.sock";
    options_.workers = 2;
    options_.request_timeout_ms = 300;
    server_.reset(new Server(options_, &state_));
    std::string error;
    ASSERT_TRUE(server_->Listen(&error)) << error;
  }
  void TearDown() override {
    server_.reset();
    rmdir(dir_.c_str());
  }
  std::string dir_;
  Server::Options options_;
  ServiceState state_{ServiceSettings::Defaults(), nullptr, nullptr};
  std::unique_ptr<Server> server_;
};

// A client that never ends its request is dropped after the time-out while
// others are served; Stop then removes the socket.
TEST_F(ServerTest, StuckClientIsDroppedWhileOthersAreServed) {
  std::thread runner(&Server::Run, server_.get());
  int stuck = Connect(options_.socket_path);
  ASSERT_GE(stuck, 0);
  WriteAll(stuck, "0000gust");
  EXPECT_EQ(Exchange(options_.socket_path, Request("gustatus")),
            "0000gustatus0000");
  EXPECT_EQ(ReadToEnd(stuck), "");
  close(stuck);

  server_->Stop();
  runner.join();
  EXPECT_NE(access(options_.socket_path.c_str(), F_OK), 0);
}

// Clients already connected when the stop comes are still answered.
TEST_F(ServerTest, StopAnswersConnectionsInHand) {
  int waiting = Connect(options_.socket_path);
  ASSERT_GE(waiting, 0);
  WriteAll(waiting, Request("gustatus"));
  shutdown(waiting, SHUT_WR);
  server_->Stop();
  server_->Run();
  EXPECT_EQ(ReadToEnd(waiting), "0000gustatus0000");
  close(waiting);
}

}  // namespace
}  // namespace service
}  // namespace qmx
