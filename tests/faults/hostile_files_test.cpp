// Hostile surroundings for the files qmx-call, the runtime and the update
// service touch: a symbolic link, a FIFO, a folder or another user's file
// planted where one of ours belongs, or a folder anyone may write. Every
// call must end in bounded time with its documented result and leave what
// was planted, and what it leads to, as it was. A full disk must not cut a
// journal line or leave a cut trace line for the next one to be glued to.

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace support {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const uid_t kNobody = 65534;
const char kSchema[] = "/schema/x.mof";

enum Plant { kLink, kFifo, kFolder, kTheirs, kOpenFolder };
const char* const kPlantNames[] = {"symlink", "FIFO", "folder",
                                   "file of another user", "folder open to all"};

// A path of ours, and what a call that meets something planted there does.
struct Spot {
  const char* path;
  bool read;      // only read: a link there leads to a FIFO
  bool service;   // the service runs; it refuses to start in an open folder
  Args args;      // qmx-call's; "@" is the planted path
  int exit_code;
  const char* said;  // in what qmx-call, the trace log or the service said
};

const Spot kSpots[] = {
    {kProviderLogPath, false, false, {"NoticeModuleUpdate"}, 1,
     "trace lines are dropped: "},
    {kSocketConfigPath, true, false, {"GetQmxStatus"}, 1,
     "SocketConfig.ini: refused: "},
    {kPackageStatusPath, true, false, {"NoticeModuleUpdate"}, 1, "not installed"},
    {kSchema, true, false, {"--schema", "@", "GetQmxStatus"}, 64,
     "x.mof: refused: "},
    {kServiceJournalPath, false, true, {"ExecuteReboot"}, 1,
     "journal not written: "},
    {kServiceStatePath, false, true, {"GetQmxStatus"}, 0, "is unusable"},
    {"/var/lib/qmxupdtmngr/state.tmp", false, true,
     {"SetAutoUpdateSetting", "UpdateSchedule.Time=03:00"}, 0, ""},
};

CommandResult CallQmx(const TempRoot& root, Args args,
                      const std::string& level = "") {
  args.insert(args.begin(), {"timeout", "10", QMX_CALL_PATH});
  return RunCommand({args, {{"QMX_ROOT", root.dir()}, {"QMX_TRACE_LEVEL", level}}});
}

// A root with the usual files, the victims a link or a hard link leads to,
// and the object planted at the spot.
void Prepare(const TempRoot& root, const Spot& spot, Plant plant) {
  root.WriteSocketConfig();
  root.WritePackageStatus(true);
  root.WriteFile(kSchema, ReadWholeFile(QMX_SCHEMA_FILE));
  root.WriteFile("/victim", "victim\n");
  root.WriteFile("/theirs", "theirs\n");
  const std::string path = root.PathOf(spot.path);
  fs::create_directories(fs::path(path).parent_path());
  if (chmod(root.PathOf("/victim").c_str(), 0600) != 0 ||
      chown(root.PathOf("/theirs").c_str(), kNobody, kNobody) != 0 ||
      chmod(root.PathOf("/theirs").c_str(), 0666) != 0 ||
      mkfifo(root.PathOf("/fifo").c_str(), 0600) != 0) {
    throw std::runtime_error(std::string("cannot prepare: ") + strerror(errno));
  }
  if (plant == kOpenFolder) {
    chmod(fs::path(path).parent_path().c_str(), 0777);
    return;
  }
  unlink(path.c_str());
  int made = plant == kLink   ? symlink(root.PathOf(spot.read ? "/fifo" : "/victim").c_str(),
                                        path.c_str())
             : plant == kFifo ? mkfifo(path.c_str(), 0600)
             : plant == kFolder ? mkdir(path.c_str(), 0700)
                                : link(root.PathOf("/theirs").c_str(), path.c_str());
  if (made != 0) throw std::runtime_error("cannot plant at " + path);
}

void ExpectUntouched(const TempRoot& root, const Spot& spot, Plant plant) {
  struct stat st;
  ASSERT_EQ(stat(root.PathOf("/victim").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(root.ReadFile("/victim"), "victim\n");
  ASSERT_EQ(stat(root.PathOf("/theirs").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(root.ReadFile("/theirs"), "theirs\n");
  // Nothing is made in a folder others may write.
  EXPECT_FALSE(plant == kOpenFolder && !spot.read && root.Exists(spot.path));
}

TEST(HostileFilesTest, PlantedObjectsAreRefusedAndLeftAsTheyWere) {
  for (const Spot& spot : kSpots) {
    for (Plant plant : {kLink, kFifo, kFolder, kTheirs, kOpenFolder}) {
      SCOPED_TRACE(std::string(spot.path) + ", " + kPlantNames[plant]);
      TempRoot root;
      Prepare(root, spot, plant);
      ServiceProcess service(QMXUPDTMNGR_PATH, &root);
      std::string said;
      try {
        if (spot.service) service.Start();
      } catch (const std::exception& e) {
        said = e.what();
      }
      if (spot.service && plant == kOpenFolder) {
        EXPECT_NE(said.find("can be written by others"), std::string::npos) << said;
        ExpectUntouched(root, spot, plant);
        continue;
      }
      ASSERT_EQ(said, "");
      Args args = spot.args;
      for (std::string& arg : args) {
        if (arg == "@") arg = root.PathOf(spot.path);
      }
      CommandResult result = CallQmx(root, args);
      said = result.out + result.err + service.Log();
      if (fs::is_regular_file(fs::symlink_status(root.PathOf(kProviderLogPath)))) {
        said += root.ReadFile(kProviderLogPath);  // a planted FIFO would block
      }
      EXPECT_EQ(result.exit_code, spot.exit_code) << result.Describe();
      EXPECT_NE(said.find(spot.said), std::string::npos) << said;
      ExpectUntouched(root, spot, plant);
    }
  }
}

// A relative QMX_ROOT would put files under each process's working folder:
// qmx-call and the service refuse it, name it and make nothing.
TEST(HostileFilesTest, RelativeRootIsRefused) {
  TempRoot cwd;
  for (const Args& program : {Args{QMX_CALL_PATH, "GetQmxStatus"}, Args{QMXUPDTMNGR_PATH}}) {
    Args args = {"/usr/bin/env", "-C", cwd.dir()};
    args.insert(args.end(), program.begin(), program.end());
    CommandResult result = RunCommand({args, {{"QMX_ROOT", "r16"}}});
    EXPECT_EQ(result.exit_code, program.size() == 2 ? 64 : 1) << result.Describe();
    EXPECT_NE(result.err.find("QMX_ROOT must be an absolute path"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(cwd.dir()));
  }
}

// Fills the file system that holds dir.
void Fill(const std::string& dir) {
  FILE* filler = fopen((dir + "/filler").c_str(), "w");
  std::string block(4096, 'f');
  while (filler != nullptr && fwrite(block.data(), 1, block.size(), filler) == block.size() &&
         fflush(filler) == 0) {
  }
  if (filler != nullptr) fclose(filler);
}

// The journal and the trace log each on a small tmpfs: a line the full disk
// cuts is taken back from the journal (the action is answered 0x21), and
// the trace line after a cut one starts on a line of its own, though a new
// process writes it.
TEST(HostileFilesTest, FullDiskCutsNoLineTheNextIsGluedTo) {
  TempRoot root;
  root.WriteSocketConfig();
  root.WritePackageStatus(true);
  const std::string logs = root.PathOf("/var/log/qmx");
  const std::string state = root.PathOf("/var/lib/qmxupdtmngr");
  std::vector<std::string> mounted;
  for (const std::string& dir : {logs, state}) {
    fs::create_directories(dir);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
      for (const std::string& m : mounted) umount2(m.c_str(), MNT_DETACH);
      GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno)
                   << "): the full-disk case is not run";
    }
    mounted.push_back(dir);
  }
  {
    ServiceProcess service(QMXUPDTMNGR_PATH, &root);
    service.Start();
    EXPECT_EQ(CallQmx(root, {"ExecuteReboot"}, "31").exit_code, 0);
    Fill(logs);
    Fill(state);
    CommandResult full = CallQmx(
        root, {"DownloadAll", "DownloadSetting.ExternalMediaPath=" + std::string(6000, 'm')},
        "31");
    EXPECT_EQ(full.exit_code, 1) << full.Describe();
    EXPECT_NE(full.err.find("trace lines are dropped"), std::string::npos) << full.err;
    const std::string cut = root.ReadFile(kProviderLogPath);
    unlink((logs + "/filler").c_str());
    unlink((state + "/filler").c_str());
    EXPECT_EQ(CallQmx(root, {"ExecuteReboot"}, "31").exit_code, 0);
    std::string journal = root.ReadFile(kServiceJournalPath);
    EXPECT_EQ(std::regex_replace(journal, std::regex(".*\texreboot\n"), "x"), "xx");
    std::string rest = root.ReadFile(kProviderLogPath).substr(cut.size());
    std::printf("trace log cut within a line: %s\n",
                !cut.empty() && cut.back() != '\n' ? "yes" : "no");
    if (!cut.empty() && cut.back() != '\n') {
      ASSERT_EQ(rest.substr(0, 1), "\n");
      rest.erase(0, 1);
    }
    const std::regex prefix(R"(\d{4}-\d\d-\d\dT[\d:.]{15}Z \[\d+:\d+\] umprovider .*)");
    std::istringstream lines(rest);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_TRUE(std::regex_match(line, prefix)) << line;
    }
  }
  for (const std::string& dir : mounted) umount2(dir.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace support
}  // namespace qmx
