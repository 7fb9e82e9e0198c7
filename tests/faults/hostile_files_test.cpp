// Hostile surroundings for the files qmx-call, the runtime and the update
// service touch: a symbolic link, a FIFO, a folder or another user's file
// planted where one of ours belongs, or a folder anyone may write. Every
// call must end in bounded time with its documented result and leave what
// was planted, and what it leads to, as it was. A full disk must not cut a
// journal line or leave a cut trace line for the next one to be glued to.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_socket.h"

namespace qmx {
namespace support {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const uid_t kNobody = 65534;
const char kSchema[] = "/schema/x.mof";

// A symbolic link, a FIFO, a folder, a file of another user, the folder
// above the file's opened to all (every folder up to "/" must be trusted),
// a hard link to a file of ours (only where we write or read privately:
// what we merely read may have any number of names), or a socket another
// user listens on (a squatter).
enum Plant { kLink, kFifo, kFolder, kTheirs, kOpenFolder, kHardLink, kSquatter };

// A path of ours, and what a call that meets something planted there does.
struct Spot {
  const char* path;
  bool read;      // only read: a link there leads to a FIFO
  bool service;   // the service runs; it refuses to start in an open folder
  Args args;      // qmx-call's (its schema is always the root's copy)
  int exit_code;  // -1: the service refuses to start
  const char* said;  // in what qmx-call, the trace log or the service said
};

const Spot kSpots[] = {
    {kProviderLogPath, false, false, {"NoticeModuleUpdate"}, 1, "trace lines are dropped: /"},
    {kSocketConfigPath, true, false, {"GetQmxStatus"}, 1, "SocketConfig.ini: refused: "},
    {kPackageStatusPath, true, false, {"NoticeModuleUpdate"}, 1, "not installed"},
    {kSchema, true, false, {"GetQmxStatus"}, 64, "x.mof: refused: "},
    {kServiceJournalPath, false, true, {"ExecuteReboot"}, 1, "journal not written: /"},
    {kServiceStatePath, false, true, {"GetQmxStatus"}, 0, "is unusable"},
    {"/var/lib/qmxupdtmngr/state.lock", false, true, {}, -1, "cannot lock the state: /"},
    {kSocketPath, true, false,
     {"SetAutoDownloadSetting", "DownloadSchedule.Time=3", "DownloadSetting.ProxyPassword=pw"}, 1,
     "ReturnValue: 0x00001001"},
    {kSocketPath, true, false, {"--check"}, 1, "FAILING socket "},
};

// The squatter's listener; it hears whatever a call sends it.
int g_squatter = -1;

// What was sent to the squatter since it began to listen.
std::string Overheard() {
  std::string heard;
  fcntl(g_squatter, F_SETFL, O_NONBLOCK);
  for (int fd; (fd = accept(g_squatter, nullptr, nullptr)) >= 0; close(fd)) {
    heard += ReadToEnd(fd);
  }
  return heard;
}

// qmx-call in a root whose files Prepare laid out, bounded in time.
CommandResult CallQmx(const TempRoot& root, Args args, const std::string& level = "") {
  args.insert(args.begin(), {"timeout", "10", QMX_CALL_PATH, "--schema", root.PathOf(kSchema)});
  return RunCommand({args, {{"QMX_ROOT", root.dir()}, {"QMX_TRACE_LEVEL", level}}});
}

// Content, mode and owner of the files a planted link or hard link leads to.
std::string Victims(const TempRoot& root) {
  const std::string files = root.PathOf("/victim") + " " + root.PathOf("/theirs");
  return RunCommand({{"sh", "-c", "stat -c %f:%u " + files + "; cat " + files}, {}}).out;
}

// A root with the usual files and the victims; 0, or -1 when the object
// could not be planted at path (a file we keep stays where a folder is
// opened to all).
int Prepare(const TempRoot& root, const std::string& path, bool read, Plant plant) {
  root.WriteSocketConfig();
  root.WritePackageStatus(true);
  root.WriteFile(kSchema, ReadWholeFile(QMX_SCHEMA_FILE));
  fs::create_directories(fs::path(path).parent_path());
  if (system(("cd " + root.dir() + " && echo victim >victim && echo theirs >theirs && "
              "chown 65534:65534 theirs && chmod 0666 theirs && mkfifo -m 0600 fifo").c_str()) != 0) {
    return -1;
  }
  if (plant != kOpenFolder) unlink(path.c_str());
  switch (plant) {
    case kLink: return symlink(root.PathOf(read ? "/fifo" : "/victim").c_str(), path.c_str());
    case kFifo: return mkfifo(path.c_str(), 0600);
    case kFolder: return mkdir(path.c_str(), 0700);
    case kTheirs: return link(root.PathOf("/theirs").c_str(), path.c_str());
    case kOpenFolder: return chmod(fs::path(path).parent_path().parent_path().c_str(), 0777);
    case kHardLink: return link(root.PathOf("/victim").c_str(), path.c_str());
    case kSquatter: return (g_squatter = ListenUnixAs(path, kNobody)) >= 0 ? 0 : -1;
  }
  return -1;
}

// The service refuses to start in a folder others may write, or on a lock
// it may not take, saying which and why; everything else ends in the call's
// documented result.
TEST(HostileFilesTest, PlantedObjectsAreRefusedAndLeftAsTheyWere) {
  for (const Spot& spot : kSpots) {
    for (Plant plant : {kLink, kFifo, kFolder, kTheirs, kOpenFolder, kHardLink, kSquatter}) {
      if (plant == kHardLink && spot.read) continue;
      SCOPED_TRACE(std::string(spot.path) + ", plant " + std::to_string(plant));
      TempRoot root;
      ASSERT_EQ(Prepare(root, root.PathOf(spot.path), spot.read, plant), 0) << strerror(errno);
      const std::string victims = Victims(root);
      const bool refused = spot.service && (plant == kOpenFolder || spot.exit_code < 0);
      ServiceProcess service(QMXUPDTMNGR_PATH, &root);
      std::string said;
      try {
        if (spot.service) service.Start();
        ASSERT_FALSE(refused);
        CommandResult result = CallQmx(root, spot.args);
        EXPECT_EQ(result.exit_code, spot.exit_code) << result.Describe();
        said = result.out + result.err + service.Log();
        if (fs::is_regular_file(fs::symlink_status(root.PathOf(kProviderLogPath)))) {
          said += root.ReadFile(kProviderLogPath);  // a planted FIFO would block
        }
      } catch (const std::exception& e) {
        said = e.what();
        EXPECT_TRUE(refused) << said;
      }
      EXPECT_NE(said.find(plant == kOpenFolder && refused ? "can be written by others" : spot.said),
                std::string::npos)
          << said;
      EXPECT_EQ(Victims(root), victims);
      EXPECT_EQ(Overheard(), "");
      close(std::exchange(g_squatter, -1));
      // Nothing is made in a folder others may write.
      EXPECT_FALSE(plant == kOpenFolder && !spot.read && root.Exists(spot.path));
    }
  }
}

// Checked before anything is made: a relative QMX_ROOT, which would put
// files under each process's working folder, is refused by qmx-call and the
// service; the service's help and mistakes on its command line (status 2)
// end it at once; the configuration and the state it names lie under
// QMX_ROOT, where the state's folder is made and a socket path that holds
// something else ends the start (status 1). A second instance on a running
// one's state ends at once, on another socket too, before it touches the
// running one's temporary file.
TEST(HostileFilesTest, RootAndCommandLineAreCheckedFirst) {
  TempRoot cwd, root;
  root.WriteFile("/c.ini", "[Socket]\nPath=/x\n");
  root.WriteFile("/c2.ini", "[Socket]\nPath=/y\n");
  root.WriteFile("/x", "");
  root.WriteSocketConfig();
  ServiceProcess running(QMXUPDTMNGR_PATH, &root);
  running.Start();
  const std::string temporary = std::string(kServiceStatePath) + ".tmp-Ab0123";
  root.WriteFile(temporary, "being written");
  const char* const service = QMXUPDTMNGR_PATH;
  const std::string relative = "QMX_ROOT must be an absolute path, not \"r16\"";
  const struct { Args args; std::string root; int exit_code; std::string said; } cases[] = {
      {{QMX_CALL_PATH, "GetQmxStatus"}, "r16", 64, relative},
      {{service}, "r16", 1, relative},
      {{service, "--help"}, root.dir(), 0, "usage: qmxupdtmngr [--config PATH] [--state PATH] ["},
      {{service, "-h", "--bogus"}, root.dir(), 2, "\"--bogus\"\nTry 'qmxupdtmngr --help' for more"},
      {{service, "--state"}, root.dir(), 2, "qmxupdtmngr: --state needs a path\n"},
      {{service, "--config", "", "-h"}, root.dir(), 2, "qmxupdtmngr: --config needs a path\n"},
      {{service, "--max-connections", "0"}, root.dir(), 2, "a number from 1 to 65536, not \"0\""},
      {{service, "--config", "/c2.ini"}, root.dir(), 1,
       "another instance keeps its state in " + root.PathOf("/var/lib/qmxupdtmngr")},
      {{service, "--config", "/c.ini", "--state", "/s/state"}, root.dir(), 1,
       root.PathOf("/x") + " exists and is not a socket"},
  };
  for (const auto& c : cases) {
    Args args = {"/usr/bin/env", "-C", cwd.dir()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandResult result = RunCommand({args, {{"QMX_ROOT", c.root}}});
    EXPECT_EQ(result.exit_code, c.exit_code) << result.Describe();
    EXPECT_NE((result.out + result.err).find(c.said), std::string::npos) << result.Describe();
  }
  EXPECT_TRUE(fs::is_empty(cwd.dir()));
  EXPECT_TRUE(root.Exists("/s"));
  EXPECT_TRUE(root.Exists(temporary));
  EXPECT_FALSE(root.Exists("/y"));
}

// The journal and the trace log on a small tmpfs: a line the full disk
// cuts is taken back from the journal (the action is answered 0x21), and
// the trace line after a cut one starts on a line of its own, though a new
// process writes it.
TEST(HostileFilesTest, FullDiskCutsNoLineTheNextIsGluedTo) {
  TempRoot root;
  const std::string var = root.PathOf("/var");
  fs::create_directories(var);
  if (mount("tmpfs", var.c_str(), "tmpfs", 0, "size=96k,mode=0755") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "): not run";
  }
  root.WriteSocketConfig();
  root.WritePackageStatus(true);
  root.WriteFile(kSchema, ReadWholeFile(QMX_SCHEMA_FILE));
  {
    ServiceProcess service(QMXUPDTMNGR_PATH, &root);
    service.Start();
    EXPECT_EQ(CallQmx(root, {"ExecuteReboot"}, "31").exit_code, 0);
    EXPECT_THROW(root.WriteFile("/var/filler", std::string(96 << 10, 'f')), std::runtime_error);
    CommandResult full = CallQmx(
        root, {"DownloadAll", "DownloadSetting.ExternalMediaPath=" + std::string(6000, 'm')}, "31");
    EXPECT_EQ(full.exit_code, 1) << full.Describe();
    EXPECT_NE(full.err.find("trace lines are dropped"), std::string::npos) << full.err;
    EXPECT_NE(service.Log().find(" bytes written (disk full?)\n"), std::string::npos) << service.Log();
    const std::string cut = root.ReadFile(kProviderLogPath);
    unlink((var + "/filler").c_str());
    EXPECT_EQ(CallQmx(root, {"ExecuteReboot"}, "31").exit_code, 0);
    std::string journal = root.ReadFile(kServiceJournalPath);
    EXPECT_EQ(std::regex_replace(journal, std::regex(".*\texreboot\n"), "x"), "xx");
    // The disk fills within a page, so a line is as good as always cut; the
    // next, from another process, starts on a line of its own.
    std::string rest = root.ReadFile(kProviderLogPath).substr(cut.size());
    EXPECT_TRUE(cut.back() == '\n' || std::regex_search(rest, std::regex("^\n\\d{4}-\\d\\d-")))
        << rest.substr(0, 80);
    EXPECT_EQ(rest.find("\n\n", 1), std::string::npos) << "only the first line starts anew: " << rest;
  }
  umount2(var.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace support
}  // namespace qmx
