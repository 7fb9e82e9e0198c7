// The update service under faults: killed at random moments while it saves,
// reached by users it must refuse, crowded by busy clients and held by
// clients that send nothing, starved of descriptors, and
// started by a service manager under its own user with its log on a closed
// pipe. Its state must always be the old settings or the new ones, never a
// mix and never lost, and every well-formed request must be answered.

#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <iterator>
#include <random>
#include <regex>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "service/protocol.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_socket.h"
#include "tests/support/wire_lists.h"

namespace qmx {
namespace support {
namespace {

namespace fs = std::filesystem;

// What the busy clients ask for, in turn: reads, a save and a journaled
// action.
const char* const kBusyKinds[] = {"gtatupdt", "gustatus", "gtatdnld", "statupdt", "mdulupdt"};
const int kKillRounds = 120;
const int kBusyClients = 50;
const int kIdleClients = 1000;
const int kFreedClients = 100;  // closed to give the service descriptors
const int kTricklingClients = 40;
const uid_t kNobody = 65534;
const uid_t kStranger = 65533;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// How often pattern matches in text.
long Matches(const std::string& text, const char* pattern) {
  const std::regex regex(pattern);
  return std::distance(std::sregex_iterator(text.begin(), text.end(), regex), {});
}

// The processor time the process has used, in clock ticks.
long CpuTicks(pid_t pid) {
  std::istringstream stat(ReadWholeFile("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  long ticks = 0;  // fields 14 and 15, after the name in brackets (field 2)
  stat.ignore(1 << 10, ')');
  for (int i = 3; i <= 15 && stat >> field; ++i) ticks += i >= 14 ? std::stol(field) : 0;
  return ticks;
}

// A status request from a child process running as uid: 0 when answered,
// 1 when closed without a reply, 2 when it could not connect or switch.
int ClientAs(uid_t uid, const std::string& socket) {
  pid_t child = fork();
  if (child == 0) {
    bool user = setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
    int fd = user ? ConnectUnix(socket) : -1;
    _exit(fd < 0 ? 2 : SendAll(fd, Request("gustatus")) && shutdown(fd, SHUT_WR) == 0 &&
                               ReadToEnd(fd) == "0000gustatus0000" ? 0 : 1);
  }
  return WaitProcess(child, 20000);
}

// An update schedule whose every field but the booleans names generation
// n, so that a state mixing two generations, or the defaults, cannot pass
// for either.
std::string Schedule(int n) {
  return service::EncodeValues(ValuesOf(service::kUpdateScheduleFields, n, [n](std::string name) {
    return name + std::string(70, 'a' + n % 26) + std::to_string(n);
  }));
}

// What a Get answers while generation n is stored: the same layout as a
// request, result "0000".
std::string StoredReply(int n) { return Request("gtatupdt", Schedule(n)); }

class ServiceFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.WriteSocketConfig();
    service_.Start();
  }

  std::string Send(const std::string& request) { return Exchange(root_.SocketPath(), request); }
  bool Store(int n) { return Send(Request("statupdt", Schedule(n))) == "0000statupdt0000"; }

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
  for (int round = 0; round < kKillRounds; ++round) {
    std::atomic<int> acked{stored};
    std::atomic<int> in_flight{stored};
    std::thread writer([&] {
      for (int n = next; Store(in_flight = n); ++n) acked = n;
    });
    usleep(random() % 20000);
    service_.Kill();
    writer.join();
    service_.Start();
    std::string state = Send(Request("gtatupdt"));
    const bool saving = state == StoredReply(in_flight);
    if (!saving && state != StoredReply(acked)) {
      ++corrupt;
      ADD_FAILURE() << "round " << round << ": acknowledged " << acked << ", saving "
                    << in_flight << ", found " << state;
    }
    stored = saving ? in_flight : acked;
    next = in_flight + 1;
  }
  // A state file the service found unusable and set aside shows here too:
  // it then starts from defaults, which match no generation.
  EXPECT_EQ(corrupt, 0) << service_.Log();
  // Each start replaced the socket the killed instance left, made it private
  // and kept no descriptor of its look for a live instance; a second
  // instance finds this one listening and leaves it be.
  EXPECT_NE(service_.Log().find("replaced stale socket"), std::string::npos);
  struct stat info;
  ASSERT_EQ(stat(root_.SocketPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(OpenFiles(service_.pid(), "socket:"), 1);
  ServiceProcess second(QMXUPDTMNGR_PATH, &root_);
  EXPECT_THROW(second.Start(), std::runtime_error);
  EXPECT_EQ(Send(Request("gustatus")), "0000gustatus0000");
}

// A stranger connecting over and over costs a log line a second at most,
// and clients that hang up in the middle of a request none; stray signals
// that end a process by default leave the service answering.
TEST_F(ServiceFaultTest, FloodsAndStraySignalsLeaveItServing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  const std::string path = root_.SocketPath();
  // Open to all, so that the peer check, not the mode, refuses the stranger.
  for (fs::path dir = fs::path(path).parent_path(); dir.string().size() >= root_.dir().size();
       dir = dir.parent_path()) {
    fs::permissions(dir, fs::perms::others_exec, fs::perm_options::add);
  }
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  const Clock::time_point start = Clock::now();
  const pid_t stranger = fork();
  if (stranger == 0) {
    bool user = setgroups(0, nullptr) == 0 && setgid(kStranger) == 0 && setuid(kStranger) == 0;
    for (int i = 0; user && i < 3000; ++i) close(ConnectUnix(path));
    _exit(user ? 0 : 2);
  }
  for (int i = 0; i < 200; ++i) {
    int fd = ConnectUnix(path);
    SendAll(fd, "0010gtatupdt0000;;");
    close(fd);
  }
  EXPECT_EQ(WaitProcess(stranger, 60000), 0);
  const double seconds = MsSince(start) / 1000;
  for (int signal : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM}) {
    kill(service_.pid(), signal);
    EXPECT_EQ(Send(Request("gustatus")), "0000gustatus0000") << signal;
  }
  const std::string log = service_.Log();
  const long refused = Matches(log, "refused connection");
  EXPECT_GE(refused, 1);
  EXPECT_LE(refused, 2 + static_cast<long>(seconds)) << log;
  EXPECT_EQ(Matches(log, " -> |sending a reply"), 0) << log;
}

// Left alone, the service takes no processor time. A thousand clients that
// send nothing and forty that send a byte every half second hold a
// descriptor each but no worker: fifty busy clients and a call
// through qmx-call are all answered beside them. With no descriptor left, a
// new client waits in the backlog, the service says so once however long
// that lasts, and answers it once some are free. SIGTERM then closes the idle ones
// without a reply at once.
TEST_F(ServiceFaultTest, IdleBusyClientsAndNoDescriptorsLeftHoldNobodyUp) {
  rlimit limit;  // started below its hard limit, the service takes all of it; so does the test
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max / 2;
  ASSERT_EQ(service_.Stop(), 0);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  service_.Start();
  limit.rlim_cur = limit.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  root_.WritePackageStatus(true);
  const pid_t pid = service_.pid();
  rlimit taken;
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &taken), 0);
  EXPECT_EQ(taken.rlim_cur, taken.rlim_max);
  usleep(300000);  // what a slow (sanitized) build still does after it said it listens
  const long idle_ticks = CpuTicks(pid);
  usleep(500000);
  EXPECT_LE(CpuTicks(pid) - idle_ticks, 10) << "an idle service keeps a processor busy";
  const long own_fds = OpenFiles(pid);
  std::vector<int> clients(kFreedClients + kIdleClients + kTricklingClients);
  for (int& fd : clients) ASSERT_GE(fd = ConnectUnix(root_.SocketPath()), 0);
  std::atomic<int> answered{0};
  std::atomic<int> unanswered{0};
  std::atomic<bool> busy{true};
  std::vector<std::thread> crowd;
  for (int c = 0; c < kBusyClients; ++c) {
    crowd.emplace_back([&, c] {
      for (int i = c; busy; ++i) {
        const std::string kind = kBusyKinds[i % std::size(kBusyKinds)];
        std::string reply = Send(Request(kind, kind == "statupdt" ? Schedule(1) : ""));
        ++(reply.size() >= 16 && reply.compare(4, 12, kind + "0000") == 0 ? answered : unanswered);
      }
    });
  }
  for (int round = 0; round < 3; ++round, usleep(500000)) {
    for (size_t i = kFreedClients + kIdleClients; i < clients.size(); ++i) {
      send(clients[i], "0", 1, MSG_NOSIGNAL);
    }
  }
  CommandResult result = RunCommand({{QMX_CALL_PATH, "--json", "GetQmxStatus"},
                                     {{"QMX_ROOT", root_.dir()}}, {"QMX_TRACE_LEVEL"}});
  EXPECT_NE(result.out.find("\"ReturnValue\":0"), std::string::npos) << result.Describe();
  busy = false;
  for (std::thread& client : crowd) client.join();
  EXPECT_EQ(unanswered, 0);
  EXPECT_GT(answered, kBusyClients);
  // Taken in order, so all the clients before the call are held by now.
  const long held = OpenFiles(pid) - own_fds;
  // Each answer let go of the files it opened (the state, the journal).
  EXPECT_LT(held, static_cast<long>(clients.size()) + kBusyClients);

  // Below the descriptors it holds; a few more clients take any it freed
  // since. The first clients' are freed to let the waiting one in.
  const rlimit none = {64, 64};
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &none, nullptr), 0);
  for (int i = 0; i < 8; ++i) clients.push_back(ConnectUnix(root_.SocketPath()));
  auto waiting = std::async(std::launch::async, Exchange, root_.SocketPath(), Request("gustatus"));
  sleep(2);
  for (int i = 0; i < kFreedClients; ++i) close(clients[i]);
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), "0000gustatus0000");
  EXPECT_EQ(Matches(service_.Log(), "cannot accept"), 1) << service_.Log();

  EXPECT_EQ(service_.Stop(), 0) << service_.Log();
  for (size_t i = kFreedClients; i < clients.size(); ++i) {
    EXPECT_EQ(ReadToEnd(clients[i]), "");
    close(clients[i]);
  }
}

// One client after another until the service holds no more: the number of
// sockets it holds, once that stops changing.
long HeldWhenSettled(pid_t pid) {
  long held = -1;
  for (int round = 0; round < 50; ++round, usleep(200000)) {
    long now = OpenFiles(pid, "socket:") - 1;  // not the listening one
    if (now == held && now > 0) return held;  // a slow build takes a while to start
    held = now;
  }
  return held;
}

// Held to its connection cap, or to a descriptor limit it keeps a reserve
// below, the service leaves the other clients in the backlog; freed, it
// takes them in turn, and a Set that comes last is saved (no descriptor of
// the reserve went to a client), and the log says why it stopped, once when
// it was reached and once when nobody waits any more, however long it held.
// Each client sends a part of a request.
TEST(ServiceLimitTest, CapAndDescriptorReserveHoldClientsBack) {
  const int kClients = 100;
  const struct { std::vector<std::string> args; rlim_t descriptors; size_t sent; long most;
                 const char* said; } rows[] = {
      {{"--max-connections", "40"}, 0, 60000, 40, "40 clients held, the most allowed"},
      {{}, 64, 100, 64, "descriptors are kept for the service's files"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.descriptors);
    TempRoot root;
    root.WriteSocketConfig();
    ServiceProcess service(QMXUPDTMNGR_PATH, &root, row.args);
    service.Start();
    const rlimit limit = {row.descriptors, row.descriptors};
    ASSERT_TRUE(row.descriptors == 0 || prlimit(service.pid(), RLIMIT_NOFILE, &limit, nullptr) == 0);
    std::vector<int> clients(kClients);
    const std::string part(row.sent, 'x');
    for (int& fd : clients) {
      ASSERT_GE(fd = ConnectUnix(root.SocketPath()), 0);
      send(fd, part.data(), part.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    const long held = HeldWhenSettled(service.pid());
    EXPECT_LE(held, row.most);
    EXPECT_GT(held, row.most / 2);
    auto set = std::async(std::launch::async, Exchange, root.SocketPath(),
                          Request("statupdt", Schedule(1)));
    usleep(1200000);  // the limit held longer than a second
    // The Set takes the last place the clients leave.
    for (long i = 0; i <= kClients - held; ++i) close(clients[i]);
    ASSERT_EQ(set.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(set.get(), "0000statupdt0000") << service.Log();
    for (long i = kClients - held + 1; i < kClients; ++i) close(clients[i]);
    EXPECT_EQ(Exchange(root.SocketPath(), Request("gtatupdt")), StoredReply(1));
    ASSERT_EQ(service.Stop(), 0);
    EXPECT_EQ(Matches(service.Log(), row.said), 1) << service.Log();
    EXPECT_EQ(Matches(service.Log(), "accepting connections again"), 1) << service.Log();
  }
}

// Started as a service manager starts it: under its own user, its socket
// handed over as descriptor 3, readiness asked for, its log on a pipe that
// is closed after the first three lines. The socket is made under /run, and
// SocketConfig.ini is not there yet (the provider's package may come after
// the service's), so the default under /var/run, a link to /run, is the
// configured one, as on a device: the service takes the socket for it (a
// note that it is not, or that the file gives no path, would be the last
// line the pipe passes, in place of the line that it listens). Its state
// file was edited by root by hand, with CR LF line ends and a bad line: the
// two lines about that come first, the good lines are kept. It tells
// the manager it is ready, admits root (the test itself) and its own user
// and nobody else, answers though its log lines meet a closed pipe, and
// leaves the socket it did not make.
TEST(ManagedServiceTest, RunsAsItsOwnUserOnAHandedOverSocket) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  TempRoot root;
  root.WriteFile("/run/qmx/.keep", "");
  fs::create_directories(root.PathOf("/var"));
  fs::create_directory_symlink("../run", root.PathOf("/var/run"));
  const std::string path = root.PathOf("/run/qmx/qmxupdtmngr.sock");
  const int listening = ListenUnix(path);
  ASSERT_EQ(dup2(listening, 99), 99);  // inherited by the service
  close(listening);
  const std::string name = "qmx-ready-" + std::to_string(getpid());
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {AF_UNIX, {}};  // abstract: a 0 byte, then the name
  name.copy(address.sun_path + 1, name.size());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address),
                 offsetof(sockaddr_un, sun_path) + 1 + name.size()), 0);
  const std::string nobody = std::to_string(kNobody);
  root.WriteFile("/managed", "#!/bin/bash\nLISTEN_PID=$$ LISTEN_FDS=1 NOTIFY_SOCKET=@" + name +
                                 " exec setpriv --reuid=" + nobody + " --regid=" + nobody +
                                 " --clear-groups " QMXUPDTMNGR_PATH
                                 " 3<&99 99<&- 2> >(head -3 >&2)\n");
  root.WriteFile(kServiceStatePath, "qmxupdtmngr-state 1\r\nReboot=1 \r\nbad\r\nend\r\n");
  // Open to all, so that the peer check, not the mode, turns strangers away.
  ASSERT_EQ(system(("chmod 0755 " + root.PathOf("/managed") + " && chown -R " + nobody + " " +
                    root.dir() + " && chmod -R go+rX " + root.dir() + " && chmod 0666 " + path + " && chown 0:0 " +
                    root.PathOf(kServiceStatePath))
                       .c_str()), 0);
  ServiceProcess service(root.PathOf("/managed"), &root);
  service.Start();
  close(99);
  char ready[16] = {};  // sent after the line Start waits for
  const timeval guard = {20, 0};
  setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof(guard));
  recv(notify, ready, sizeof(ready) - 1, 0);
  EXPECT_STREQ(ready, "READY=1");
  close(notify);
  EXPECT_EQ(ClientAs(kNobody, path), 0);
  EXPECT_EQ(ClientAs(kStranger, path), 1);
  EXPECT_EQ(Exchange(path, Request("exreboot")), "0000exreboot0000");
  EXPECT_EQ(Exchange(path, Request("exmnupdt")), Request("exmnupdt", "00000001"));
  EXPECT_EQ(service.Stop(), 0);
  EXPECT_TRUE(root.Exists(kSocketPath));
}

}  // namespace
}  // namespace support
}  // namespace qmx
