// The update service under faults: killed at each system call of a repair
// or a save,
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
const int kBusyClients = 50;
const int kIdleClients = 1000;
const int kTricklingClients = 40;
const uid_t kNobody = 65534;
const uid_t kStranger = 65533;

using Clock = std::chrono::steady_clock;

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
  return WaitProcess(ForkAs(uid, [&socket] {
    int fd = ConnectUnix(socket);
    return fd < 0 ? 2 : SendAll(fd, Request("gustatus")) && shutdown(fd, SHUT_WR) == 0 &&
                        ReadToEnd(fd) == "0000gustatus0000" ? 0 : 1;
  }), 20000);
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

// The calls that the thread of the first line matching from made, from that
// line up to (without) its first line matching to, in a trace of strace -f:
// each as strace's injection counts it, by name and how many of that name
// the thread had made ("openat 3").
std::istringstream CutsOfPath(const std::string& trace, const char* from, const char* to) {
  return std::istringstream(RunCommand({{"awk", "-v", std::string("from=") + from, "-v",
                                         std::string("to=") + to, R"(/^[0-9]+ +[a-z0-9_]+\(/ {
      split($0, f, /[ (]+/); n = ++made[f[1] " " f[2]]; if (!t && $0 ~ from) t = f[1]
      if (f[1] == t && $0 ~ to) exit; if (f[1] == t) print f[2], n })", trace}, {}}).out);
}

// The service that strace runs, and its end with signal (strace ends with it).
pid_t TracedPid(const ServiceProcess& traced) {
  const std::string pid = std::to_string(traced.pid());
  const std::string child = ReadWholeFile("/proc/" + pid + "/task/" + pid + "/children");
  return child.empty() ? -1 : std::stoi(child);
}
void StopTraced(ServiceProcess* traced, int signal) {
  // Looked up once: a service killed at a cut may be gone by a second look.
  const pid_t service = traced->pid() > 0 ? TracedPid(*traced) : -1;
  if (service > 0) SignalProcess(service, signal);
  traced->Stop(0);
}

// The service is killed at each system call in turn of the repair of a
// damaged state file at start, and of a save (from its temporary file to
// the reply), and started again: it always starts, and holds the settings
// it was repairing, or the old or the new ones of the save, never the
// defaults. The cuts come from a trace of the same paths, so that they
// follow the code; a cut that kills nothing is counted as missed. In the
// traced run a save slow to reach the disk holds up no other client.
TEST_F(ServiceFaultTest, KilledAtEachSystemCallOfARepairOrASaveKeepsOldOrNewState) {
  if (system("strace -o /dev/null true") != 0) GTEST_SKIP() << "strace cannot run here";
  ASSERT_TRUE(Store(1));
  ASSERT_EQ(service_.Stop(), 0);
  const std::string saved = root_.ReadFile(kServiceStatePath), trace = root_.PathOf("/trace");
  const std::string damaged = saved.substr(0, saved.size() - 4) + "bad\nend\n";
  const struct { const char* path; std::string state; int newer; const char* from, *to; } paths[] = {
      {"repair", damaged, 1, "/state\"", "^[0-9]+ +write[(]2,"},
      {"save", saved, 2, "state[.]tmp-", "\"0000statupdt0000\""},
  };
  for (const auto& path : paths) {
    root_.WriteFile(kServiceStatePath, path.state);
    ServiceProcess traced("/usr/bin/strace", &root_, {"-f", "-o", trace, "-e",
                                                    "inject=fsync:delay_enter=500000", QMXUPDTMNGR_PATH});
    traced.Start();
    auto save = std::async(std::launch::async, [&] { return Store(path.newer); });
    const std::string temporary = root_.PathOf(kServiceStatePath) + ".tmp-";  // open: it saves
    for (int i = 0; i < 20000 && OpenFiles(TracedPid(traced), temporary) == 0; ++i) usleep(1000);
    EXPECT_EQ(Send(Request("gustatus")), "0000gustatus0000");
    EXPECT_EQ(save.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    ASSERT_TRUE(save.get());
    StopTraced(&traced, SIGTERM);  // (LeakSanitizer fails under strace)
    std::istringstream cuts = CutsOfPath(trace, path.from, path.to);
    int missed = 0, made = 0;
    for (std::string call, nth; cuts >> call >> nth; ++made) {
      SCOPED_TRACE(std::string(path.path) + " at " + call + " " + nth);
      root_.WriteFile(kServiceStatePath, path.state);
      ServiceProcess killed("/usr/bin/strace", &root_, {"-f", "-o", "/dev/null", "-e",
          "inject=" + call + ":signal=KILL:when=" + nth, QMXUPDTMNGR_PATH});
      try {
        killed.Start();  // a cut in the repair ends it here
        missed += Store(path.newer);
        StopTraced(&killed, SIGKILL);
      } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("ended with 137"), std::string::npos) << e.what();
      }
      ASSERT_NO_THROW(service_.Start());
      const std::string state = Send(Request("gtatupdt"));
      EXPECT_TRUE(state == StoredReply(1) || state == StoredReply(path.newer)) << state;
      ASSERT_EQ(service_.Stop(), 0);
    }
    std::printf("%s: %d cut points, %d missed\n", path.path, made, missed);
    EXPECT_TRUE(made > 8 && missed <= made / 10) << path.path << ": " << made << ", " << missed;
  }
  // Each start replaced the socket the killed instance left, made it private
  // and kept no descriptor of its look for a live instance.
  service_.Start();
  EXPECT_NE(service_.Log().find("replaced stale socket"), std::string::npos);
  EXPECT_EQ(fs::status(root_.SocketPath()).permissions(), fs::perms(0600));
  EXPECT_EQ(OpenFiles(service_.pid(), "socket:"), 1);
}

// A stranger connecting over and over costs a log line a second at most,
// and clients that hang up in the middle of a request none; stray signals
// that end a process by default leave the service answering.
TEST_F(ServiceFaultTest, FloodsAndStraySignalsLeaveItServing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  const std::string path = root_.SocketPath();
  // Open to all, so that the peer check, not the mode, refuses the stranger.
  ASSERT_EQ(system(("cd " + root_.dir() + " && chmod o+x . var var/run var/run/qmx && chmod 0666 " +
                    path).c_str()), 0);
  const Clock::time_point start = Clock::now();
  const pid_t stranger = ForkAs(kStranger, [&path] {
    for (int i = 0; i < 3000; ++i) close(ConnectUnix(path));
    return 0;
  });
  for (int i = 0; i < 200; ++i) {
    int fd = ConnectUnix(path);
    SendAll(fd, "0010gtatupdt0000;;");
    close(fd);
  }
  EXPECT_EQ(WaitProcess(stranger, 60000), 0);
  const std::chrono::duration<double> seconds = Clock::now() - start;
  for (int signal : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM}) {
    service_.Signal(signal);
    EXPECT_EQ(Send(Request("gustatus")), "0000gustatus0000") << signal;
  }
  const std::string log = service_.Log();
  const long refused = Matches(log, "refused connection");
  EXPECT_GE(refused, 1);
  EXPECT_LE(refused, 2 + static_cast<long>(seconds.count())) << log;
  EXPECT_EQ(Matches(log, " -> |sending a reply"), 0) << log;
}

// Left alone, the service takes no processor time. A thousand clients that
// send nothing and forty that send a byte every half second hold a
// descriptor each but no worker: fifty busy clients and a call
// through qmx-call are all answered beside them. SIGTERM then closes the
// idle ones without a reply at once. (Out of descriptors, clients wait in
// the backlog: ServiceLimitTest.)
TEST_F(ServiceFaultTest, IdleAndBusyClientsHoldNobodyUp) {
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
  std::vector<int> clients(kIdleClients + kTricklingClients);
  for (int& fd : clients) ASSERT_GE(fd = ConnectUnix(root_.SocketPath()), 0);
  std::atomic<int> answered{0}, unanswered{0};
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
    for (size_t i = kIdleClients; i < clients.size(); ++i) {
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
  EXPECT_EQ(Matches(service_.Log(), "cannot accept"), 0) << "a limit held the crowd back";
  EXPECT_EQ(service_.Stop(), 0) << service_.Log();
  for (int fd : clients) {
    EXPECT_EQ(ReadToEnd(fd), "");
    close(fd);
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
