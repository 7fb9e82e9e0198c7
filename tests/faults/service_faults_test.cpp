// The update service under faults: killed at random moments while it saves,
// fed malformed requests, reached by a user it must refuse, and crowded by
// clients. Its state must always be the old settings or the new ones, never
// a mix and never lost, and every well-formed request must be answered.

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_socket.h"

namespace qmx {
namespace support {
namespace {

const char kSetUpdate[] = "statupdt";
const char kGetUpdate[] = "gtatupdt";
const int kKillRounds = 120;
const int kClients = 50;
const int kCrowdSeconds = 10;

// An update schedule whose every field names generation n, so that a state
// mixing two generations, or the defaults, cannot pass for either.
std::string Schedule(int n) {
  std::string tag = std::to_string(n);
  return "1;" + tag + ";day" + tag + ";date" + tag + ";" +
         std::string(200, static_cast<char>('a' + n % 26)) + tag;
}

// What a Get answers while generation n is stored: the same layout as a
// request, result "0000".
std::string StoredReply(int n) { return Request(kGetUpdate, Schedule(n)); }

class ServiceFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.WriteSocketConfig();
    service_.Start();
  }

  std::string Send(const std::string& request) {
    return Exchange(root_.SocketPath(), request);
  }
  bool Store(int n) {
    return Send(Request(kSetUpdate, Schedule(n))) == "0000statupdt0000";
  }
  std::string Stored() { return Send(Request(kGetUpdate)); }

  TempRoot root_;
  ServiceProcess service_{QMXUPDTMNGR_PATH, &root_};
};

// A writer stores generation after generation until the service is killed
// under it; after the restart the state must be the last generation the
// service acknowledged or the one it was saving.
TEST_F(ServiceFaultTest, KilledWhileSavingKeepsOldOrNewState) {
  ASSERT_TRUE(Store(0));
  std::mt19937 random(20240501);  // pauses of up to 20 ms before each kill
  int stored = 0;
  int next = 1;
  int corrupt = 0;
  int unacknowledged = 0;  // saves that landed though no reply got out
  for (int round = 0; round < kKillRounds; ++round) {
    std::atomic<int> acked{stored};
    std::atomic<int> in_flight{stored};
    std::thread writer([&] {
      for (int n = next;; ++n) {
        in_flight = n;
        if (!Store(n)) return;
        acked = n;
      }
    });
    usleep(random() % 20000);
    service_.Kill();
    writer.join();
    service_.Start();
    std::string state = Stored();
    if (state == StoredReply(in_flight)) {
      if (in_flight != acked) ++unacknowledged;
      stored = in_flight;
    } else if (state == StoredReply(acked)) {
      stored = acked;
    } else {
      ++corrupt;
      ADD_FAILURE() << "round " << round << ": acknowledged " << acked
                    << ", saving " << in_flight << ", found " << state;
    }
    next = in_flight + 1;
  }
  // A state file the service found unusable and set aside shows here too:
  // it then starts from defaults, which match no generation.
  EXPECT_EQ(corrupt, 0) << service_.Log();
  std::printf(
      "service killed %d times while saving: %d generations stored, "
      "%d kept without a reply, %d corrupt states\n",
      kKillRounds, next - 1, unacknowledged, corrupt);
}

TEST_F(ServiceFaultTest, MalformedRequestsChangeNothing) {
  ASSERT_TRUE(Store(7));
  const std::string state_before = root_.ReadFile(kServiceStatePath);
  const std::string valid = Request(kSetUpdate, Schedule(8));
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""},
      {"header cut short", valid.substr(0, 10)},
      {"body cut short", valid.substr(0, 40)},
      {"length field too large", "FFFF" + valid.substr(4)},
      {"result field not 0000",
       valid.substr(0, 12) + "0001" + valid.substr(16)},
      {"unknown kind", Request("statxxxx", Schedule(8))},
      {"too few values", Request(kSetUpdate, "1;8;day8;date8")},
      {"too many values", Request(kSetUpdate, Schedule(8) + ";9")},
      {"boolean not 1 or 0", Request(kSetUpdate, "2" + Schedule(8).substr(1))},
      {"integer not decimal", Request(kSetUpdate, "1;0x8;d;d;t")},
      {"integer past int32", Request(kSetUpdate, "1;2147483648;d;d;t")},
      {"longer than the length field can say",
       "FFFF" + std::string(kSetUpdate) + "0000" + std::string(0x10000, '1')},
  };
  for (const auto& bad : cases) {
    std::string reply = Send(bad.second);
    EXPECT_TRUE(reply.size() >= 16 && reply.compare(12, 4, "0000") != 0)
        << bad.first << ": " << reply;
    EXPECT_EQ(Stored(), StoredReply(7)) << bad.first;
    EXPECT_EQ(root_.ReadFile(kServiceStatePath), state_before) << bad.first;
  }
}

// The service's socket is opened up to everyone, so that its check of the
// peer's user, not the file mode, is what turns "nobody" away.
TEST_F(ServiceFaultTest, PeerOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  ASSERT_TRUE(Store(3));
  const std::string socket = root_.SocketPath();
  for (std::string dir = socket; dir.size() > root_.dir().size();) {
    dir = dir.substr(0, dir.rfind('/'));
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0) << dir;
  }
  ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
  const std::string request = Request(kSetUpdate, Schedule(4));
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    int fd = ConnectUnix(socket);
    if (fd < 0) _exit(2);
    SendAll(fd, request);
    shutdown(fd, SHUT_WR);
    _exit(ReadToEnd(fd).empty() ? 0 : 1);
  }
  EXPECT_EQ(WaitProcess(child, 20000), 0)
      << "1: answered, 2: could not connect, 3: could not switch users";
  EXPECT_EQ(Stored(), StoredReply(3));
}

TEST_F(ServiceFaultTest, CrowdOfClientsIsAllAnswered) {
  const char* const kinds[] = {kGetUpdate, "gustatus", "gtatdnld", kSetUpdate};
  std::atomic<int> answered{0};
  std::atomic<int> unanswered{0};
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(kCrowdSeconds);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int i = c; std::chrono::steady_clock::now() < deadline; ++i) {
        std::string kind = kinds[i % 4];
        std::string body = kind == kSetUpdate ? Schedule(1) : "";
        std::string reply = Send(Request(kind, body));
        if (reply.size() >= 16 && reply.compare(4, 12, kind + "0000") == 0) {
          ++answered;
        } else {
          ++unanswered;
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(unanswered, 0);
  EXPECT_GT(answered, kClients);
  std::printf("%d clients for %d s: %d requests answered, %d not\n", kClients,
              kCrowdSeconds, answered.load(), unanswered.load());
}

}  // namespace
}  // namespace support
}  // namespace qmx
