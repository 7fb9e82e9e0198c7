#include "tools/qmx-call/chain_check.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <map>
#include <vector>

#include "common/dpkg_status.h"
#include "common/qmx_root.h"
#include "common/safe_files.h"
#include "common/socket_config.h"
#include "host/utility.h"
#include "common/names.h"
#include "runtime/service_exchange.h"
#include "runtime/trace_control.h"
#include "tools/qmx-call/elf_exports.h"
#include "tools/qmx-call/method_call.h"
#include "tools/qmx-call/provider_module.h"
#include "tools/qmx-call/served_methods.h"

namespace qmx {
namespace call {
namespace {

const char kPackageName[] = "qmxupdtmngr";
const char kProviderPackage[] = "qmx-updatemanager-provider";
const char kStatusRequest[] = "0000gustatus0000";
const char kStatusKind[] = "gustatus";
// Our own trace name, under which the transport traces a failed exchange.
const char kToolTraceName[] = "qmx-call";
const char kTraceFolder[] = "/var/log/qmx";
const char kProviderLog[] = "umprovider.log";
// Where the service journals, by default: DownloadAll's proxy password too.
const char kServiceJournal[] = "/var/lib/qmxupdtmngr/journal.log";
// How much of the end of the provider's log is searched for refused kinds.
const size_t kLogTail = 64u << 10;
// A provider library is a few MiB even with sanitizers; more is no provider.
const size_t kLibraryLimit = 64u << 20;

LinkResult Ok(const char* link, const std::string& found) {
  return {link, true, found, ""};
}

LinkResult Failing(const char* link, const std::string& found,
                   const std::string& action) {
  return {link, false, found, action};
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

std::string UserText(uid_t uid) {
  const struct passwd* user = getpwuid(uid);
  std::string id = "uid " + std::to_string(uid);
  return user != nullptr ? std::string(user->pw_name) + " (" + id + ")" : id;
}

std::string KindText(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "a device";
}

// "<path>: a socket, mode 0600, owner root (uid 0)"; when nothing can be
// looked at there, *text says why and the errno is returned.
int Describe(const std::string& path, struct stat* st, std::string* text) {
  if (stat(path.c_str(), st) != 0) {
    int error = errno;
    *text = path + ": " + (error == ENOENT ? "does not exist" : ErrorText(error));
    return error;
  }
  *text = path + ": " + KindText(st->st_mode) + ", mode " + ModeText(st->st_mode) +
          ", owner " + UserText(st->st_uid);
  return 0;
}

// What is wrong with a file that receives passwords: others may read it;
// "" when they may not, or when it is not there.
std::string ReadableByOthers(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) return "";
  return path + ": mode " + ModeText(st.st_mode) + ", others could read the passwords it holds";
}

std::string LevelText(int mask) {
  static const char* const kNames[] = {"detail", "error", "function",
                                       "exception", "warning"};
  std::vector<std::string> names;
  for (int bit = 0; bit < 5; ++bit) {
    if ((mask & (1 << bit)) != 0) names.push_back(kNames[bit]);
  }
  return "level " + std::to_string(mask) + " (" +
         (names.empty() ? "nothing is traced" : Joined(names)) + ")";
}

std::string ValuesUsed(const SocketConfig& config) {
  return "Path=" + config.path +
         ", ConnectTimeoutMs=" + std::to_string(config.connectTimeoutMs) +
         ", SendTimeoutMs=" + std::to_string(config.sendTimeoutMs) +
         ", ReceiveTimeoutMs=" + std::to_string(config.receiveTimeoutMs);
}

LinkResult CheckConfig(SocketConfig* config) {
  const std::string file = RootedPath(kSocketConfigFile);
  *config = ReadSocketConfig(file);
  std::vector<std::string> notes = config->errors;
  notes.insert(notes.end(), config->warnings.begin(), config->warnings.end());
  std::string used = "values used: " + ValuesUsed(*config);
  if (!config->fileFound) {
    return Failing("configuration", file + ": does not exist; " + used,
                   std::string("reinstall ") + kProviderPackage +
                       ", which holds it, or write it (qmx-socket-config(5))");
  }
  if (!notes.empty()) {
    std::string found;
    for (const std::string& note : notes) found += note + "; ";
    return Failing("configuration", found + used,
                   "correct the file (qmx-socket-config(5))");
  }
  return Ok("configuration", file + ": " + used);
}

// What a user who may not connect can do: the provider's host runs as
// root. (The service's user is no way out: systemd makes it for the
// service alone.)
std::string RunAsRoot() {
  return UserText(geteuid()) + " may not connect: run qmx-call --check as root (sudo)";
}

bool NotPermitted(int error) { return error == EACCES || error == EPERM; }

LinkResult CheckSocket(const SocketConfig& config) {
  const std::string path = RootedPath(config.path);
  struct stat st;
  std::string found;
  int error = Describe(path, &st, &found);
  if (NotPermitted(error)) return Failing("socket", found, RunAsRoot());
  SocketFolder folder = JudgeSocketFolder(path);
  if (!folder.distrust.empty()) {
    return Failing("socket", found + "; " + folder.distrust,
                   std::string("move the socket to a folder no one else may write, "
                               "such as that of ") +
                       kDefaultSocketPath + " (qmx-socket-config(5))");
  }
  if (error == ENOENT) {
    return Failing("socket", found,
                   "start the service: systemctl start qmxupdtmngr.socket "
                   "qmxupdtmngr.service");
  }
  if (error != 0) return Failing("socket", found, "correct Path (qmx-socket-config(5))");
  if (!S_ISSOCK(st.st_mode)) {
    return Failing("socket", found,
                   "remove it, then start the service, which makes its socket there");
  }
  std::string stranger = DistrustServer(folder, st.st_uid);
  if (!stranger.empty()) {
    return Failing("socket", found + "; " + stranger + ": not the update service's",
                   "stop whatever listens there and remove the socket, then restart the "
                   "service: systemctl restart qmxupdtmngr.socket qmxupdtmngr.service");
  }
  // A Unix socket takes a connection from whoever may write to it.
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    return Failing("socket", found + "; permission denied", RunAsRoot());
  }
  return Ok("socket", found + "; " + UserText(geteuid()) + " may connect");
}

// What to do when the status request was not answered, by why.
std::string ServiceAction(ExchangeFault fault) {
  if (fault == ExchangeFault::kNotPermitted) return RunAsRoot();
  if (fault == ExchangeFault::kDistrusted) {
    return "nothing was sent to a listener that is not trusted: see the socket link";
  }
  return "see whether qmxupdtmngr runs and why not: systemctl status "
         "qmxupdtmngr; journalctl -u qmxupdtmngr";
}

// The end of the provider's log, whole lines only; empty when there is no
// log or it is not a file of ours.
std::string LogTail(const std::string& path) {
  std::string error;
  int fd = OpenForReading(path, ReadRule::kPrivate, &error);
  if (fd < 0) return "";
  std::string tail(kLogTail, '\0');
  off_t end = lseek(fd, 0, SEEK_END);
  off_t from = end > static_cast<off_t>(kLogTail) ? end - static_cast<off_t>(kLogTail) : 0;
  ssize_t got = end < 0 ? -1 : pread(fd, &tail[0], tail.size(), from);
  close(fd);
  tail.resize(got > 0 ? static_cast<size_t>(got) : 0);
  if (from > 0) tail.erase(0, tail.find('\n') + 1);
  return tail;
}

// The kinds whose last call in the log the service refused: a failure code
// in a bare header where the provider expects values, which the provider
// traces as a length error followed by the service's code. A service older
// than the provider answers so a kind it does not know. Each kind is
// given with that code.
std::map<std::string, std::string> RefusedKinds(const std::string& log) {
  static const char kLengthError[] = "ReceiveMessage length error";
  static const char kAnswered[] = " update service answered ";
  std::map<std::string, std::string> refused;
  std::map<std::string, bool> lengthErrorLast;  // by "[pid:tid]"
  for (size_t at = 0, next; at < log.size(); at = next) {
    next = log.find('\n', at);
    next = next == std::string::npos ? log.size() : next + 1;
    const std::string line = log.substr(at, next - at - (log[next - 1] == '\n'));
    size_t open = line.find(" ["), close = line.find("] ");
    if (open == std::string::npos || close == std::string::npos) continue;
    const std::string thread = line.substr(open + 1, close - open);
    bool afterLengthError = lengthErrorLast[thread];
    lengthErrorLast[thread] = line.size() >= sizeof(kLengthError) - 1 &&
                              line.compare(line.size() - (sizeof(kLengthError) - 1),
                                           std::string::npos, kLengthError) == 0;
    size_t kindAt = line.find("kind=");
    if (line.find(kAnswered) == std::string::npos || kindAt == std::string::npos) continue;
    const std::string kind = line.substr(kindAt + 5, 8);
    size_t codeAt = line.find("result=");
    if (afterLengthError && line.find("failure") != std::string::npos && codeAt != std::string::npos) {
      refused[kind] = line.substr(codeAt + 7, 4);
    } else {
      refused.erase(kind);
    }
  }
  return refused;
}

LinkResult CheckService(const SocketConfig& config) {
  using Clock = std::chrono::steady_clock;
  std::string limits = "time-outs: connect " + std::to_string(config.connectTimeoutMs) +
                       " ms, send " + std::to_string(config.sendTimeoutMs) +
                       " ms, receive " + std::to_string(config.receiveTimeoutMs) + " ms";
  std::string reply;
  std::string failure;
  ExchangeFault fault = ExchangeFault::kNone;
  Clock::time_point start = Clock::now();
  bool answered = ExchangeWithService(kToolTraceName, kSocketConfigFile,
                                      kStatusRequest, &reply, &failure, &fault);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  if (!answered) {
    return Failing("service", "status request: " + failure + " (" + limits + ")",
                   ServiceAction(fault));
  }
  // What the provider's GetQmxStatus takes for an answer: a header of this
  // kind, whose result code is the status.
  if (reply.size() < 16 || reply.compare(4, 8, kStatusKind) != 0) {
    return Failing("service",
                   "the status request was answered \"" + reply.substr(0, 64) + "\"",
                   "whatever listens on the socket is not the update service; "
                   "stop it and start qmxupdtmngr");
  }
  const std::string journal = RootedPath(kServiceJournal);
  const std::string exposed = ReadableByOthers(journal);
  if (!exposed.empty()) {
    return Failing("service", exposed,
                   "chmod 0600 " + journal + " (the service does at its next line), "
                   "and change the proxy password others may have read there");
  }
  std::string refusals;
  for (const auto& kind : RefusedKinds(LogTail(RootedPath(kTraceFolder) + "/" + kProviderLog))) {
    refusals += (refusals.empty() ? "" : ", ") + kind.first + " (" + kind.second +
                (kind.second == "0011" ? ": a kind it does not know" : "") + ")";
  }
  if (!refusals.empty()) {
    return Failing("service", "refused with no values, at the last call of each: " + refusals,
                   "a service older than this provider refuses its newer kinds: install "
                   "the qmxupdtmngr that came with it (apt install qmxupdtmngr)");
  }
  return Ok("service", "answered the status request in " +
                           std::to_string(ms.count()) + " ms: status " +
                           reply.substr(12, 4) + " (" + limits + ")");
}

LinkResult CheckPackage() {
  const std::string path = RootedPath(kDpkgStatusFile);
  const std::string install = std::string("apt install --reinstall ") + kPackageName;
  PackageRecord record;
  std::string error;
  if (FindPackage(path, kPackageName, &record, &error) != 0) {
    return Failing("package", error,
                   "the provider finds the update service in dpkg's database: it must be "
                   "there, a file of root that no one else may write");
  }
  if (record.package.empty()) {
    return Failing("package", path + ": " + kPackageName + " is not installed",
                   std::string("install the update service: apt install ") + kPackageName);
  }
  std::string found = path + ": " + kPackageName + " " + record.version + ", " +
                      record.status;
  // The provider's own question, so that both always answer alike.
  if (CFileUtility::GetPackageVersion(kPackageName).empty()) {
    return Failing("package", found + ": not installed as the provider counts it",
                   install);
  }
  if (EqualsNoCase(record.status.substr(0, 5), "hold ")) {
    found += " (held: upgrades leave it as it is)";
  }
  return Ok("package", found);
}

LinkResult CheckProvider(const std::string& path) {
  const std::string reinstall = std::string("reinstall ") + kProviderPackage +
                                ", or name the provider with --provider";
  std::string image;
  std::string error;
  std::vector<std::string> names;
  ProviderModule module;
  // Read first, by the rules for a file we read, so that a FIFO or a device
  // is refused rather than opened.
  if (ReadFileBounded(path, kLibraryLimit, ReadRule::kShared, &image, &error) != 0 ||
      !module.Open(path, &error)) {
    return Failing("provider", error, reinstall);
  }
  if (!ExportedSymbols(image, &names, &error)) {
    return Failing("provider", path + ": " + error, reinstall);
  }
  // dlsym also finds a "create" of a library the provider depends on.
  auto factory = std::find(names.begin(), names.end(), "create");
  if (factory == names.end()) {
    return Failing("provider", path + ": \"create\" is not its own export", reinstall);
  }
  names.erase(factory);
  if (!names.empty()) {
    std::sort(names.begin(), names.end());
    if (names.size() > 5) {
      names.resize(5);
      names.push_back("...");
    }
    return Failing("provider", path + ": exports more than \"create\": " + Joined(names),
                   "use the packaged provider: a host must see no other name of it");
  }
  return Ok("provider", path + ": loads, makes its provider, exports only \"create\"");
}

LinkResult CheckSchema(const std::string& path) {
  const std::string reinstall = std::string("reinstall ") + kProviderPackage +
                                ", or name the schema with --schema";
  std::string error;
  Ref<IWbemServices> services = LoadSchema(path, &error);
  if (!services) return Failing("schema", error, reinstall);
  Ref<IWbemClassObject> cls;
  if (FAILED(services->GetObject(kClassName, 0, nullptr, cls.Out(), nullptr))) {
    return Failing("schema", path + ": declares no class " + kClassName, reinstall);
  }
  std::vector<std::string> missing;
  for (const char* method : kServedMethods) {
    Ref<IWbemClassObject> in, out;
    if (FAILED(cls->GetMethod(method, 0, in.Out(), out.Out()))) missing.push_back(method);
  }
  if (!missing.empty()) {
    return Failing("schema", path + ": " + kClassName + " lacks " + Joined(missing),
                   reinstall);
  }
  return Ok("schema", path + ": declares " + kClassName + " with the " +
                          std::to_string(std::size(kServedMethods)) +
                          " methods the provider serves");
}

// The provider's log can be written by the rules every log is written by:
// the file opened as a trace opens it, or, while there is none, the folder
// open to this user for a new one.
bool LogWritable(const std::string& dir, std::string* error) {
  const std::string log = dir + "/" + kProviderLog;
  struct stat st;
  if (lstat(log.c_str(), &st) != 0) {
    if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return true;
    *error = dir + ": " + UserText(geteuid()) + " may not make " + kProviderLog + " in it";
    return false;
  }
  int fd = OpenForWriting(log, O_APPEND, error);
  if (fd < 0) return false;
  close(fd);
  return true;
}

LinkResult CheckTrace() {
  const std::string dir = RootedPath(kTraceFolder);
  const std::string level = LevelText(TraceLevel());
  const std::string action = "make " + dir +
                             " a folder of root or of the provider's user that no one"
                             " else may write (mode 0700), holding only its logs";
  struct stat st;
  std::string found;
  bool existed = Describe(dir, &st, &found) == 0;
  const std::string exposed = ReadableByOthers(dir + "/" + kProviderLog);
  std::string error;
  // Made, and made private, as the first trace line would.
  if (!PrepareFolder(dir, 0700, &error) || !LogWritable(dir, &error)) {
    return Failing("trace", error + "; " + level, action);
  }
  if (!exposed.empty()) {
    return Failing("trace", exposed + "; made 0600 now; " + level,
                   "change the passwords others may have read there");
  }
  if (!existed) {
    Describe(dir, &st, &found);
    found += ", made now";
  }
  return Ok("trace", found + ", " + kProviderLog + " writable; " + level);
}

}  // namespace

void CheckChain(const std::string& provider, const std::string& schema,
                const std::function<bool(const LinkResult&)>& report) {
  SocketConfig config;
  const std::function<LinkResult()> links[] = {
      [&] { return CheckConfig(&config); },
      [&] { return CheckSocket(config); },
      [&] { return CheckService(config); },
      [] { return CheckPackage(); },
      [&] { return CheckProvider(provider); },
      [&] { return CheckSchema(schema); },
      [] { return CheckTrace(); },
  };
  for (const auto& link : links) {
    if (!report(link())) return;
  }
}

}  // namespace call
}  // namespace qmx
