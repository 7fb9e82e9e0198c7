// The socket transport against a one-shot service on a real Unix socket:
// replies whole, slow, too large, missing or reset; every step bounded by
// its time-out; mistakes in the configuration. What the provider makes of
// a failed exchange is the provider tests' business.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "host/file_transfer.h"
#include "tests/runtime/test_root.h"
#include "tests/support/child_process.h"
#include "tests/support/unix_socket.h"

namespace qmx {
namespace {

constexpr const char* kConfig = "/etc/qmx/transport.ini";
constexpr const char* kLog = "/var/log/qmx/Transport.log";

// Serves one connection on a new socket at path: reads the request to its
// end, waits up to delayMs (or until the client hangs up), replies (a byte
// every paceMs when given), closes and gives the request. A negative delay
// hangs up once the request has arrived, unread, which resets the
// connection.
std::future<std::string> Serve(const std::string& path, std::string reply, int delayMs,
                               int paceMs = 0) {
  int listener = support::ListenUnix(path);
  return std::async(std::launch::async, [=] {
    pollfd waiting = {listener, POLLIN, 0};
    int client = poll(&waiting, 1, 5000) == 1 ? accept(listener, nullptr, 0) : -1;
    std::string request;
    pollfd ready = {client, POLLIN, 0};
    if (delayMs < 0) poll(&ready, 1, 5000);
    if (delayMs >= 0) request = support::ReadToEnd(client);
    ready.events = 0;  // now only a hang-up ends the wait
    if (delayMs > 0) poll(&ready, 1, delayMs);
    const size_t piece = paceMs > 0 ? 1 : reply.size();
    for (size_t at = 0; delayMs >= 0 && at < reply.size(); at += piece) {
      support::SendAll(client, reply.substr(at, piece));
      usleep(paceMs * 1000);
    }
    close(client);
    close(listener);
    return request;
  });
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { root_.WriteFile("/var/run/qmx/.keep", ""); }

  // What the transport's log grew by since the last look.
  std::string NewTraces() {
    std::string log = root_.ReadFile(kLog);
    std::string grown = log.substr(std::min(seen_, log.size()));
    seen_ = log.size();
    return grown;
  }

  test::TempRoot root_;
  size_t seen_ = 0;
};

// Each case names a new socket under QMX_ROOT in the configuration, which is
// rewritten in place with the same size: the transport must follow at once.
// The reply and its closing NUL must fit, and nothing goes past the buffer
// (a buffer of no bytes is not written at all). A reply that trickles in is
// taken whole; a service that closes without a reply, or hangs up on the
// request unread, is a failure, traced with its reason.
TEST_F(TransportTest, RepliesArriveWholeOrNotAtAll) {
  const struct {
    std::string reply;
    int size, expected;
    std::string why;
    int delay_ms = 0, pace_ms = 0;
  } cases[] = {
      {std::string("ok\0tail", 7), 8, 7, ""},
      {std::string(49, 'r'), 50, 49, ""},
      {"r", 1, -1, "reply does not fit in 0 bytes"},
      {std::string(50, 'r'), 50, -1, "reply does not fit in 49 bytes"},
      {std::string(5000, 'r'), 50, -1, "reply does not fit in 49 bytes"},
      {"", 50, -1, "closed without a reply"},
      {"r", 0, -1, "no room for a reply"},
      {std::string(40, 's'), 50, 40, "", 0, 5},
      {"r", 50, -1, "receive failed: Connection reset by peer", -1},
  };
  for (const auto& c : cases) {
    std::string socket = "/var/run/s" + std::to_string(&c - cases) + ".sock";
    root_.WriteFile(kConfig, "[Socket]\nPath = " + socket + "\n");
    std::future<std::string> server = Serve(root_.PathOf(socket), c.reply, c.delay_ms, c.pace_ms);
    CFileTransfer transfer("Transport", kConfig);
    EXPECT_EQ(transfer.SendMessage("request body"), 12);
    std::vector<char> buffer(c.size + 16, 'Z');
    EXPECT_EQ(transfer.RecvMessage(buffer.data(), c.size, 0), c.expected);
    const std::string traced = NewTraces();
    EXPECT_EQ(traced.find(root_.PathOf(socket) + ": " + c.why + "\n") != std::string::npos,
              !c.why.empty()) << traced;
    EXPECT_EQ(server.get(), c.delay_ms < 0 ? "" : "request body");
    std::string kept = ((c.expected < 0 ? "" : c.reply) + '\0').substr(0, c.size);
    EXPECT_EQ(std::string(buffer.data(), kept.size()), kept);
    EXPECT_EQ(std::string(buffer.begin() + c.size, buffer.end()), std::string(16, 'Z'));
    // The connection ends with the reply.
    EXPECT_EQ(transfer.RecvMessage(buffer.data(), c.size, 0), -1);
  }
  // A service that hangs up while a large request is being sent: the send
  // fails instead of raising SIGPIPE, which would end this test process.
  std::future<std::string> server = Serve(root_.SocketPath(), "", -1);
  EXPECT_EQ(CFileTransfer("Transport", "/etc/none.ini").SendMessage(std::string(8 << 20, 'm')), -1);
  const std::string traced = NewTraces();
  EXPECT_NE(traced.find(root_.SocketPath() + ": send failed: "), std::string::npos) << traced;
}

// Each step configured to give up after 200 ms fails (-1), neither at once
// nor much later, and traces why: the reply, bounded by the configured
// time-out or the call's own, however it arrives; the connection to a service too busy to
// accept (its backlog full); a request the service does not read. A
// socket that is not there fails at once.
TEST_F(TransportTest, TimeOutsBoundEachStep) {
  root_.WriteFile(kConfig,
                  "[Socket]\nReceiveTimeoutMs = 200\nConnectTimeoutMs = 200\n"
                  "SendTimeoutMs = 200\n");
  auto expect_fails = [this](const std::function<int()>& step, const std::string& why,
                             int at_least_ms = 150) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(step(), -1) << why;
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(at_least_ms)) << why;
    EXPECT_LT(took, std::chrono::milliseconds(3000)) << why;
    const std::string traced = NewTraces();
    EXPECT_NE(traced.find(root_.SocketPath() + ": " + why + "\n"), std::string::npos) << traced;
  };
  auto send = [](size_t size) {
    return [size] {
      return CFileTransfer("Transport", kConfig).SendMessage(std::string(size, 'q'));
    };
  };
  expect_fails(send(1), "cannot connect: No such file or directory", 0);
  // A path that fills the whole address leaves no room for its end: refused
  // before any connect; one byte shorter is tried.
  for (size_t extra : {0, 1}) {
    const std::string path =
        "/" + std::string(sizeof(sockaddr_un::sun_path) - 2 - root_.dir().size() + extra, 'p');
    root_.WriteFile("/etc/qmx/long.ini", "[Socket]\nPath = " + path + "\n");
    EXPECT_EQ(CFileTransfer("Transport", "/etc/qmx/long.ini").SendMessage("q"), -1);
    EXPECT_NE(NewTraces().find(extra ? ": socket path too long" : ": cannot connect: No such"),
              std::string::npos) << path.size();
  }
  // A reply late as a whole, or still trickling in when the time is up.
  const struct { int call_timeout_ms, delay_ms, pace_ms; } replies[] = {
      {0, 10000, 0}, {200, 10000, 0}, {0, 0, 50}};
  for (const auto& r : replies) {
    std::future<std::string> server =
        Serve(root_.SocketPath(), std::string(40, 'r'), r.delay_ms, r.pace_ms);
    CFileTransfer transfer("Transport", r.call_timeout_ms == 0 ? kConfig : "/etc/none.ini");
    EXPECT_EQ(transfer.SendMessage("q"), 1);
    char buffer[64];
    expect_fails([&] { return transfer.RecvMessage(buffer, 64, r.call_timeout_ms); },
                 "no reply in time");
  }
  int unread = support::ListenUnix(root_.SocketPath());
  expect_fails(send(8 << 20), "send timed out");  // queued unaccepted, until the queue is full
  close(unread);
  int listener = support::ListenUnix(root_.SocketPath());
  ASSERT_EQ(listen(listener, 0), 0);
  int waiting = support::ConnectUnix(root_.SocketPath());  // fills a backlog of none
  expect_fails(send(1), "connect timed out");
  close(waiting);
  close(listener);
}

// Runs a server of uid in a child: it takes one connection on listener,
// reads the request, answers "ok" when it is the expected one and ends.
pid_t ServeAs(int listener, uid_t uid) {
  return support::ForkAs(uid, [listener] {
    int client = accept(listener, nullptr, nullptr);
    return support::ReadToEnd(client) == "request body" && support::SendAll(client, "ok") ? 0 : 1;
  });
}

// A request goes only to a server of root or of the owner of the socket's
// folder, and only through trusted folders; the service's own user may own
// the folder when no one else could have made it. A link on the path (here
// the folder itself) is followed only where neither it nor the folder
// holding it could have been made by anyone else. What listens is known by
// who called listen(): a socket root made and handed to a service of
// another user, as systemd does, is root's. A refused server is sent
// nothing, and the call fails as a failed connect does. A folder that
// changes is judged again, though the configuration does not.
TEST_F(TransportTest, SendsOnlyToATrustedServer) {
  const uid_t kNobody = 65534, kRoot = 0, kNoLink = 1;
  const struct {
    mode_t parent_mode, folder_mode;
    uid_t folder_owner, listener, server;
    std::string why;  // after "refused, nothing sent: "; <F> the folder, <P> its parent
    uid_t link = kNoLink;  // the folder is a link of this user to one elsewhere
  } cases[] = {
      {0755, 0755, 0, 0, kNobody, ""},
      {0755, 0755, kNobody, kNobody, kNobody, ""},
      {0755, 0755, kNobody, 0, 0, ""},
      {0755, 01777, 0, kNobody, kNobody,
       "served by uid 65534 is neither root nor the owner of <F> (uid 0)"},
      {0755, 0755, kNobody, 1234, 1234,
       "served by uid 1234 is neither root nor the owner of <F> (uid 65534)"},
      {0755, 0777, 0, 0, 0,
       "folder <F> can be written by others without the sticky bit (mode 0777)"},
      {01777, 0755, kNobody, kNobody, kNobody,
       "folder <F> belongs to uid 65534, in <P>, which others may write"},
      {0755, 0755, kNobody, kNobody, kNobody, "", kRoot},
      {01777, 0755, kNobody, kNobody, kNobody,
       "link <F> not followed: <P> can be written by others (mode 1777)", kRoot},
      {0755, 0755, 0, kNobody, kNobody, "link <F> not followed: it belongs to uid 65534", kNobody},
      {0755, 0775, kNobody, kNobody, kNobody,
       "folder <F> belongs to uid 65534 and can be written by others"},
  };
  for (const auto& c : cases) {
    const std::string parent = "/var/run/t" + std::to_string(&c - cases), folder = parent + "/qmx";
    const std::string real = c.link == kNoLink ? folder : "/var/run/h" + std::to_string(&c - cases);
    SCOPED_TRACE(folder);
    for (const std::string& made : {real, parent}) root_.WriteFile(made + "/.keep", "");
    ASSERT_TRUE(c.link == kNoLink || (symlink(root_.PathOf(real).c_str(), root_.PathOf(folder).c_str()) |
                                      lchown(root_.PathOf(folder).c_str(), c.link, 0)) == 0);
    ASSERT_EQ(chmod(root_.PathOf(parent).c_str(), c.parent_mode) |
                  chmod(root_.PathOf(real).c_str(), c.folder_mode) |
                  chown(root_.PathOf(real).c_str(), c.folder_owner, 0), 0);
    root_.WriteFile(kConfig, "[Socket]\nReceiveTimeoutMs = 3000\nPath = " + folder + "/s.sock\n");
    const bool reopened = c.why.empty() && c.link == kRoot;  // then opened to all
    const timespec long_ago[2] = {{0, UTIME_OMIT}, {1 << 20, 0}};  // the file's copy is kept
    ASSERT_TRUE(!reopened || utimensat(AT_FDCWD, root_.PathOf(kConfig).c_str(), long_ago, 0) == 0);
    int listener = support::ListenUnixAs(root_.PathOf(folder + "/s.sock"), c.listener);
    ASSERT_GE(listener, 0);
    pid_t server = c.why.empty() ? ServeAs(listener, c.server) : -1;
    CFileTransfer transfer("Transport", kConfig);
    EXPECT_EQ(transfer.SendMessage("request body"), c.why.empty() ? 12 : -1);
    char reply[8];
    EXPECT_EQ(transfer.RecvMessage(reply, sizeof(reply), 0), c.why.empty() ? 2 : -1);
    EXPECT_TRUE(server < 0 || support::WaitProcess(server, 20000) == 0);
    const std::string traced = NewTraces();
    const std::string why = std::regex_replace(
        std::regex_replace(c.why, std::regex("<F>"), root_.PathOf(folder)),
        std::regex("<P>"), root_.PathOf(parent));
    EXPECT_EQ(traced.find("s.sock: refused, nothing sent: " + why + "\n") != std::string::npos,
              !c.why.empty()) << traced;
    // What was sent to a refused server: nothing; nor once the trusted
    // folder of the last row but one opens to all, the file as it was.
    if (reopened) {
      ASSERT_EQ(chmod(root_.PathOf(real).c_str(), 0777), 0);
      EXPECT_EQ(CFileTransfer("Transport", kConfig).SendMessage("request body"), -1);
    }
    if (!c.why.empty() || reopened) {
      fcntl(listener, F_SETFL, O_NONBLOCK);
      int overheard = accept(listener, nullptr, nullptr);
      EXPECT_EQ(support::ReadToEnd(overheard), "");
      close(overheard);
    }
    close(listener);
  }
}

// Mistakes in the configuration are traced, and the defaults stand in for
// what could not be used: the call still reaches the default socket.
TEST_F(TransportTest, ConfigurationMistakesAreTracedAndTheDefaultsUsed) {
  const std::string file = root_.PathOf(kConfig);
  const std::pair<std::string, std::string> cases[] = {
      {"[Socket]\nPath = run/s.sock\n",
       "L2 " + file + ": [Socket] Path = 'run/s.sock' is not an absolute path; using /var/run/"},
      {"Path = /s.sock\n[Other]\nSendTimeoutMs = 1\n",
       "L16 " + file + ": keys outside a [Socket] section are ignored: Path, SendTimeoutMs"},
      {"[Socket]\n" + std::string(64 << 10, ';'), "larger than the limit of 64 KiB"},
  };
  for (const auto& c : cases) {
    root_.WriteFile(kConfig, c.first);
    std::future<std::string> server = Serve(root_.SocketPath(), "ok", 0);
    EXPECT_EQ(CFileTransfer("Transport", kConfig).SendMessage("q"), 1) << c.second;
    EXPECT_EQ(server.get(), "q");
    EXPECT_NE(root_.ReadFile("/var/log/qmx/Transport.log").find(c.second), std::string::npos)
        << c.second;
  }
}

}  // namespace
}  // namespace qmx
