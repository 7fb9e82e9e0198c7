// The socket transport against an in-test service on a Unix socket.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "host/file_transfer.h"
#include "host/utility.h"
#include "runtime/testing/host_testing.h"
#include "tests/runtime/test_root.h"

namespace qmx {
namespace {

constexpr const char* kDefaultSocket = "/var/run/qmx/qmxupdtmngr.sock";
constexpr const char* kConfig = "/etc/qmx/transport.ini";

// Serves one connection: reads the request to its end, waits up to delayMs
// (or until the client hangs up), sends the reply and closes. Without
// readRequest it hangs up at once.
class TestServer {
 public:
  TestServer(const std::string& path, std::string reply, int delayMs = 0,
             bool readRequest = true)
      : m_reply(std::move(reply)), m_delayMs(delayMs), m_readRequest(readRequest) {
    m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    unlink(path.c_str());
    EXPECT_EQ(bind(m_listener, reinterpret_cast<sockaddr*>(&address),
                   sizeof(address)), 0) << path;
    EXPECT_EQ(listen(m_listener, 4), 0);
    m_thread = std::thread([this] { Serve(); });
  }

  ~TestServer() {
    if (m_thread.joinable()) m_thread.join();
    close(m_listener);
  }

  // The request bytes; valid once the exchange is over.
  std::string Request() {
    if (m_thread.joinable()) m_thread.join();
    return m_request;
  }

 private:
  void Serve() {
    struct pollfd waiting = {m_listener, POLLIN, 0};
    if (poll(&waiting, 1, 5000) != 1) return;
    int client = accept(m_listener, nullptr, nullptr);
    if (!m_readRequest) {
      close(client);
      return;
    }
    char buffer[4096];
    for (ssize_t n; (n = read(client, buffer, sizeof(buffer))) > 0;) {
      m_request.append(buffer, static_cast<size_t>(n));
    }
    struct pollfd hangup = {client, 0, 0};  // POLLHUP: the client closed
    if (m_delayMs > 0) poll(&hangup, 1, m_delayMs);
    send(client, m_reply.data(), m_reply.size(), MSG_NOSIGNAL);
    close(client);
  }

  std::string m_reply;
  int m_delayMs;
  bool m_readRequest;
  int m_listener = -1;
  std::string m_request;
  std::thread m_thread;
};

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { m_root.Write("/var/run/qmx/.keep", ""); }

  test::TempRoot m_root;
};

TEST_F(TransportTest, RoundTripCarriesBytesBothWays) {
  TestServer server(m_root.Path(kDefaultSocket), std::string("ok\0tail", 7));
  CFileTransfer transfer("Transport", kConfig);
  EXPECT_EQ(transfer.SendMessage("request body"), 12);
  char buffer[64];
  EXPECT_EQ(transfer.RecvMessage(buffer, sizeof(buffer), 0), 7);
  EXPECT_EQ(std::string(buffer, 8), std::string("ok\0tail\0", 8));
  EXPECT_EQ(server.Request(), "request body");
  // The connection is gone after the reply.
  EXPECT_EQ(transfer.RecvMessage(buffer, sizeof(buffer), 0), -1);
}

TEST_F(TransportTest, ReplyMustFitBeforeTheNul) {
  const struct {
    size_t replySize;
    int bufferSize;
    int expected;
  } cases[] = {{49, 50, 49}, {50, 50, -1}, {5000, 50, -1}, {0, 50, -1}};
  for (const auto& c : cases) {
    TestServer server(m_root.Path(kDefaultSocket), std::string(c.replySize, 'r'));
    CFileTransfer transfer("Transport", kConfig);
    ASSERT_EQ(transfer.SendMessage("q"), 1);
    std::vector<char> buffer(c.bufferSize + 16, 'Z');
    EXPECT_EQ(transfer.RecvMessage(buffer.data(), c.bufferSize, 0), c.expected)
        << c.replySize;
    EXPECT_EQ(std::string(buffer.begin() + c.bufferSize, buffer.end()),
              std::string(16, 'Z')) << "wrote past the buffer";
  }
}

// No socket file, and a socket file nobody listens on (refused).
TEST_F(TransportTest, NoServiceFailsBothCalls) {
  for (bool leaveSocketFile : {false, true}) {
    if (leaveSocketFile) {
      int stale = socket(AF_UNIX, SOCK_STREAM, 0);
      struct sockaddr_un address = {};
      address.sun_family = AF_UNIX;
      std::string path = m_root.Path(kDefaultSocket);
      std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
      ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
      close(stale);
    }
    CFileTransfer transfer("Transport", kConfig);
    EXPECT_EQ(transfer.SendMessage("q"), -1) << leaveSocketFile;
    char buffer[16];
    EXPECT_EQ(transfer.RecvMessage(buffer, sizeof(buffer), 0), -1);
  }
}

// A service that hangs up while a large request is being sent: the send
// fails instead of raising SIGPIPE, which would end this test process.
TEST_F(TransportTest, PeerClosingDuringSendIsAFailure) {
  TestServer server(m_root.Path(kDefaultSocket), "", 0, /*readRequest=*/false);
  CFileTransfer transfer("Transport", kConfig);
  EXPECT_EQ(transfer.SendMessage(std::string(8 << 20, 'm')), -1);
}

// Both the configured time-out and the per-call one bound the whole reply.
TEST_F(TransportTest, ReceiveTimeOutIsHonoured) {
  m_root.Write(kConfig, "[Socket]\nReceiveTimeoutMs = 200\n");
  const struct {
    const char* config;
    int callTimeoutMs;
  } cases[] = {{kConfig, 0}, {"/etc/qmx/none.ini", 200}};
  for (const auto& c : cases) {
    TestServer server(m_root.Path(kDefaultSocket), "late", 10000);
    CFileTransfer transfer("Transport", c.config);
    ASSERT_EQ(transfer.SendMessage("q"), 1);
    char buffer[16];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transfer.RecvMessage(buffer, sizeof(buffer), c.callTimeoutMs), -1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(150)) << c.config;
    EXPECT_LT(took, std::chrono::milliseconds(3000)) << c.config;
  }
}

TEST_F(TransportTest, ConfigNamesTheSocketAndMalformedValuesAreTraced) {
  m_root.Write(kConfig,
               "[Socket]\nPath=/var/run/other.sock\nConnectTimeoutMs=abc\n"
               "SendTimeoutMs=-5\nReceiveTimeoutMs=99999999999999\n");
  TestServer server(m_root.Path("/var/run/other.sock"), "pong");
  testing::TraceCapture capture;
  CFileTransfer transfer("Transport", kConfig);
  EXPECT_EQ(transfer.SendMessage("ping"), 4);
  char buffer[16];
  EXPECT_EQ(transfer.RecvMessage(buffer, sizeof(buffer), 0), 4);
  std::vector<testing::TraceLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const testing::TraceLine& line : lines) {
    EXPECT_EQ(line.traceName, "Transport");
    EXPECT_EQ(line.level, TRACE_ERROR);
  }
  EXPECT_NE(lines[0].text.find("ConnectTimeoutMs = 'abc'"), std::string::npos);
  EXPECT_NE(lines[0].text.find("using 5000"), std::string::npos);
  EXPECT_NE(lines[2].text.find("using 600000"), std::string::npos);
}

TEST_F(TransportTest, ScriptedTransportReplacesTheSocket) {
  testing::ScriptedTransport script;
  script.PushReply("scripted reply");
  testing::Exchange failing;
  failing.sendResult = -1;
  failing.recvResult = -1;
  int held = 0;
  failing.duringReceive = [&held] { ++held; };
  script.Push(failing);
  char buffer[8];
  {
    CFileTransfer first("One", "/etc/one.ini");
    CFileTransfer second("Two", "/etc/two.ini");
    EXPECT_EQ(first.SendMessage("hello"), 5);
    EXPECT_EQ(first.RecvMessage(buffer, sizeof(buffer), 0), 7);  // cut to fit
    EXPECT_STREQ(buffer, "scripte");
    EXPECT_EQ(second.SendMessage("bye"), -1);
    EXPECT_EQ(second.RecvMessage(buffer, sizeof(buffer), 0), -1);
    EXPECT_EQ(held, 1);
  }
  CFileTransfer third("Three", "/etc/three.ini");
  EXPECT_EQ(third.SendMessage("none left"), -1);
  EXPECT_EQ(third.RecvMessage(buffer, sizeof(buffer), 0), -1);
  EXPECT_EQ(script.Requests(),
            (std::vector<std::string>{"hello", "bye", "none left"}));
  EXPECT_EQ(script.Constructed(), 3);
  EXPECT_EQ(script.MostAlive(), 2);
  EXPECT_EQ(script.LastComponentName(), "Three");
  EXPECT_EQ(script.LastConfigPath(), "/etc/three.ini");
}

}  // namespace
}  // namespace qmx
