// qmx-bench: the provider's speed and memory against the least a client of
// the update service must spend. See README.md for what each figure means.

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/counters.h"
#include "bench/floor_client.h"
#include "bench/harness.h"
#include "bench/package_db.h"
#include "bench/throughput.h"
#include "host/utility.h"
#include "link/CSocketClient.h"
#include "link/MessageFormat.h"
#include "provider/UpdateManager.h"
#include "runtime/testing/host_testing.h"
#include "runtime/trace_control.h"
#include "service/protocol.h"
#include "service/server.h"
#include "service/service_state.h"
#include "service/settings.h"
#include "tests/support/child_process.h"
#include "bench/provider_host.h"
#include "tests/support/temp_root.h"
#include "tests/support/wire_lists.h"

namespace qmx {
namespace bench {
namespace {

const char kUsage[] =
    "usage: qmx-bench [--summary | --counts] [--iterations N] [--memory-calls N]\n"
    "                 [--throughput-ms N] [--scaling-kib N]\n"
    "  --summary          the headline figures only; the last line sums up\n"
    "  --counts           only the counts of a call and of a service request,\n"
    "                     on one line, with no clock\n"
    "  --iterations N     timed samples per figure (default 2000, 1000 with\n"
    "                     --summary)\n"
    "  --memory-calls N   calls for the memory figure (default 10000, at\n"
    "                     least 200)\n"
    "  --throughput-ms N  how long each throughput figure runs (default\n"
    "                     500, 200 with --summary)\n"
    "  --scaling-kib N    the largest body of the scaling table and reply\n"
    "                     of the reader (default 4096)\n";

const char kDownload[] = "GetAutoDownloadSetting";
const char kSetUpdate[] = "SetAutoUpdateSetting";
const char kStatus[] = "GetQmxStatus";
const char kGetUpdate[] = "GetAutoUpdateSetting";
const char* const kAllLevels = "31";
const int kDatabasePackages = 2000;
const int kBaselineCalls = 100;
const int kMiB = 1024 * 1024;

struct Options {
  bool summary = false;
  bool counts = false;
  int iterations = 0;  // 0: the mode's default
  int memory_calls = 10000;
  int throughput_ms = 0;  // 0: the mode's default
  int scaling_kib = 4096;
};

bool ParseCount(const char* text, int minimum, int* value) {
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < minimum || parsed > 10000000) {
    return false;
  }
  *value = static_cast<int>(parsed);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--summary") {
      options->summary = true;
    } else if (arg == "--counts") {
      options->counts = true;
    } else if (arg == "--iterations" && has_value) {
      if (!ParseCount(argv[++i], 1, &options->iterations)) return false;
    } else if (arg == "--throughput-ms" && has_value) {
      if (!ParseCount(argv[++i], 1, &options->throughput_ms)) return false;
    } else if (arg == "--scaling-kib" && has_value) {
      if (!ParseCount(argv[++i], 1, &options->scaling_kib)) return false;
    } else if (arg == "--memory-calls" && has_value) {
      if (!ParseCount(argv[++i], 2 * kBaselineCalls, &options->memory_calls)) {
        return false;
      }
    } else {
      return false;
    }
  }
  if (options->iterations == 0) options->iterations = options->summary ? 1000 : 2000;
  if (options->throughput_ms == 0) options->throughput_ms = options->summary ? 200 : 500;
  return true;
}

// Samplers of different roots and levels take turns, but a host keeps its
// environment: it is changed only when the sampler needs another, so that
// setenv's cost is not counted as the provider's.
bool Differs(const char* name, const char* value) {
  const char* now = getenv(name);
  if (now == nullptr || value == nullptr) return now != value;
  return std::strcmp(now, value) != 0;
}

void UseRoot(const support::TempRoot& root) {
  if (Differs("QMX_ROOT", root.dir().c_str())) {
    setenv("QMX_ROOT", root.dir().c_str(), 1);
    ReloadTraceLevel();  // the trace reads the root with its log's path
  }
}

// nullptr: the default level.
void UseTraceLevel(const char* level) {
  if (!Differs("QMX_TRACE_LEVEL", level)) return;
  if (level == nullptr) {
    unsetenv("QMX_TRACE_LEVEL");
  } else {
    setenv("QMX_TRACE_LEVEL", level, 1);
  }
  ReloadTraceLevel();
}

// A benchmark of failing calls measures nothing: the call must end with
// status 0 and one instance whose return value is want.
void Expect(const CallOutcome& got, uint32_t want,
            const std::string& what) {
  if (got.status == WBEM_S_NO_ERROR && got.indicated == 1 &&
      got.return_value == want) {
    return;
  }
  char text[128];
  std::snprintf(text, sizeof(text),
                ": status 0x%08x, %d instances, returned 0x%08x, expected "
                "0x%08x",
                static_cast<unsigned>(got.status), got.indicated,
                static_cast<unsigned>(got.return_value),
                static_cast<unsigned>(want));
  throw std::runtime_error(what + text);
}

// What a call of method carries: SetAutoUpdateSetting the schedule
// (built from the service's table) that the floor's statupdt request sends,
// the others nothing.
std::vector<std::string> UpdateSchedule() {
  return support::ValuesOf(service::kUpdateScheduleFields, 2);
}

std::vector<InputField> InputFields(const std::string& method) {
  if (method != kSetUpdate) return {};
  const service::FieldList& list = service::kUpdateScheduleFields;
  const std::vector<std::string> values = UpdateSchedule();
  std::vector<InputField> fields;
  for (size_t i = 0; i < list.count; ++i) {
    fields.push_back({"UpdateSchedule", list.fields[i].name, values[i]});
    if (list.fields[i].type == service::FieldType::kBool) fields.back().value = values[i] == "1";
    if (list.fields[i].type == service::FieldType::kInt) fields.back().value = std::stoi(values[i]);
  }
  return fields;
}

void PrintHeading(const std::string& title) {
  std::printf("\n== %s ==\n", title.c_str());
}

void PrintStats(const std::string& name, const Stats& stats, double base_us) {
  std::printf("%-44s %10.1f %10.1f", name.c_str(), stats.median_us,
              stats.p90_us);
  if (base_us > 0) std::printf(" %8.2f", stats.median_us / base_us);
  std::printf("\n");
}

// Everything the figures run against: the update service in one temporary
// root with a small package database, a second root with a database of
// realistic size that reaches the same service, the shipped provider as a
// host loads it, and the provider's own code for its inner operations.
class Bench {
 public:
  explicit Bench(const Options& options);
  ~Bench();

  void RunFullCycle();
  void RunCounts();
  void RunServiceCounts();
  void PrintCounts() const;
  void RunInProcess();
  void RunTraceLine();
  void RunScaling();
  void RunReader();
  void RunMemory();
  void RunPackages();
  void RunThroughput();
  void PrintSummary() const;

 private:
  std::function<void()> ProductCall(const support::TempRoot& root,
                                    const char* level, const char* method);
  std::function<void()> FloorCall(
      const std::string& request,
      ReplyBuffer buffer = ReplyBuffer::kAsItComes);
  Stats TimeSplit(size_t bytes, char fill, int reps, long* peak_kib);

  const Options options_;
  const int warmup_;
  support::TempRoot root_;
  support::TempRoot big_root_;
  std::unique_ptr<support::ServiceProcess> service_;
  std::unique_ptr<ProviderHost> host_;
  std::unique_ptr<CVELTRAX_UpdateManager> core_;
  std::string set_update_request_;

  // The summary's figures.
  double floor_us_ = 0;
  double contract_floor_us_ = 0;
  double default_us_ = 0;
  double all_us_ = 0;
  double inprocess_us_ = 0;
  double trace_line_us_ = 0;
  double write_us_ = 0;
  SyscallCounts floor_calls_;
  SyscallCounts default_calls_;
  double allocations_ = 0;
  SyscallCounts service_calls_;  // per read request, the service's side
  // Processor time of this process per call: unlike a time on the clock, it
  // hardly moves when other programs keep the machine busy.
  double cpu_contract_us_ = 0;
  double cpu_default_us_ = 0;
  double lines_all_ = 0;     // trace lines a call writes with every level on
  std::string call_lines_;   // those lines, as one call wrote them
  double line_write_us_ = 0;  // a bare write() of one of them
  double read_ratio_ = 0;     // the service's worst read rate / the peer's
  double set_rate_ = 0;       // SetAutoUpdateSetting, one client, per second
  long rss64_kib_ = -1;
  double split4m_ms_ = 0;
  long rss_growth_kib_ = 0;
};

Bench::Bench(const Options& options)
    : options_(options), warmup_(std::max(1, options.iterations / 10)) {
  root_.WriteSocketConfig();
  root_.WritePackageStatus(true);
  big_root_.WriteSocketConfig();
  big_root_.WriteFile(support::kPackageStatusPath,
                      MakeStatusDatabase(kDatabasePackages));
  // Both roots reach the one service through the same socket folder.
  std::string run = big_root_.PathOf("/var/run");
  if (mkdir(run.c_str(), 0755) != 0 ||
      symlink(root_.PathOf("/var/run/qmx").c_str(), (run + "/qmx").c_str()) != 0) {
    throw std::runtime_error("cannot link the socket folder: " +
                             std::string(std::strerror(errno)));
  }
  // On a running system these files have not changed for a long time.
  for (const support::TempRoot* root : {&root_, &big_root_}) {
    AgeFile(root->PathOf(support::kSocketConfigPath), 3600);
    AgeFile(root->PathOf(support::kPackageStatusPath), 3600);
  }
  service_ = std::make_unique<support::ServiceProcess>(QMXUPDTMNGR_PATH, &root_);
  service_->Start();
  UseRoot(root_);
  UseTraceLevel(nullptr);
  host_ = std::make_unique<ProviderHost>(QMX_PROVIDER_LIBRARY,
                                                  QMX_SCHEMA_FILE);
  core_ = std::make_unique<CVELTRAX_UpdateManager>();
  set_update_request_ =
      message::BuildRequest("statupdt", service::EncodeValues(UpdateSchedule()));
}

Bench::~Bench() {
  host_.reset();
  core_.reset();
  unsetenv("QMX_ROOT");
}

std::function<void()> Bench::ProductCall(const support::TempRoot& root,
                                         const char* level,
                                         const char* method) {
  // Built once, as the input is the host's cost, not the provider's.
  std::shared_ptr<IWbemClassObject> input =
      host_->MakeInput(method, InputFields(method));
  return [this, &root, level, method, input] {
    UseRoot(root);
    UseTraceLevel(level);
    Expect(host_->CallWith(method, input.get()), 0, method);
  };
}

std::function<void()> Bench::FloorCall(const std::string& request,
                                       ReplyBuffer buffer) {
  std::string socket_path = root_.SocketPath();
  return [socket_path, request, buffer] {
    std::string reply = FloorExchange(socket_path, request, buffer);
    if (reply.compare(12, 4, "0000") != 0) {
      throw std::runtime_error("floor: the service answered " + reply);
    }
  };
}

// One figure of a full-cycle table: a sampler and the floor it is compared
// with (an index into the same table; -1: none).
struct Figure {
  std::string name;
  std::function<void()> fn;
  int floor;
};

// Samples of the floors and of the product interleave, so that all of them
// see the same machine. Returns the medians in table order.
std::vector<double> RunFigures(const std::string& title,
                               const std::vector<Figure>& figures, int warmup,
                               int reps) {
  Suite suite;
  for (const Figure& figure : figures) suite.Add(figure.name, figure.fn);
  std::vector<Stats> stats = suite.Run(warmup, reps);
  PrintHeading(title);
  std::vector<double> medians;
  for (size_t i = 0; i < figures.size(); ++i) {
    int floor = figures[i].floor;
    PrintStats(figures[i].name, stats[i],
               floor < 0 ? 0 : stats[static_cast<size_t>(floor)].median_us);
    medians.push_back(stats[i].median_us);
  }
  return medians;
}

void Bench::RunFullCycle() {
  const char kTitle[] = "full cycle over the socket: median, p90 (us), ratio "
                        "to floor";
  // The contract floor: the floor and what the provider's link must do
  // besides for every reply, a fresh 4 MiB receive buffer.
  std::vector<Figure> figures = {
      {"floor gtatdnld", FloorCall("0000gtatdnld0000"), -1},
      {"GetAutoDownloadSetting default", ProductCall(root_, nullptr, kDownload), 0},
      {"GetAutoDownloadSetting all", ProductCall(root_, kAllLevels, kDownload), 0},
      {"contract floor gtatdnld",
       FloorCall("0000gtatdnld0000", ReplyBuffer::kFreshPerReply), 0},
  };
  if (!options_.summary) {
    std::vector<Figure> more = {
        {"floor statupdt", FloorCall(set_update_request_), -1},
        {"SetAutoUpdateSetting default", ProductCall(root_, nullptr, kSetUpdate), 3},
        {"SetAutoUpdateSetting all", ProductCall(root_, kAllLevels, kSetUpdate), 3},
        {"floor gustatus", FloorCall("0000gustatus0000"), -1},
        {"GetQmxStatus default", ProductCall(root_, nullptr, kStatus), 6},
        {"GetQmxStatus all", ProductCall(root_, kAllLevels, kStatus), 6},
    };
    figures.insert(figures.end(), more.begin(), more.end());
  }
  std::vector<double> medians =
      RunFigures(kTitle, figures, warmup_, options_.iterations);
  floor_us_ = medians[0];
  default_us_ = medians[1];
  all_us_ = medians[2];
  contract_floor_us_ = medians[3];
  std::printf("%-44s %21s %8.2f\n", "GetAutoDownloadSetting default / contract",
              "", default_us_ / contract_floor_us_);
  if (!options_.summary) {
    // A table of its own: a host serves one root, so the large database
    // stays parsed from call to call.
    RunFigures(std::string(kTitle) + ", 2 MiB package database",
               {{"floor gtatdnld", FloorCall("0000gtatdnld0000"), -1},
                {"GetAutoDownloadSetting default",
                 ProductCall(big_root_, nullptr, kDownload), 0},
                {"GetAutoDownloadSetting all",
                 ProductCall(big_root_, kAllLevels, kDownload), 0}},
               warmup_, options_.iterations);
  }
  UseRoot(root_);
  UseTraceLevel(nullptr);
}

// What one call costs without a clock, against the contract floor's
// client: its system calls by name, the paths it looks up with stat, its
// allocations, and the trace lines it writes with every level on.
void Bench::RunCounts() {
  const int kRuns = 20;
  const std::vector<std::string> names = {"contract floor", "default",
                                          "every level"};
  std::vector<std::function<void()>> work = {
      FloorCall("0000gtatdnld0000", ReplyBuffer::kFreshPerReply),
      ProductCall(root_, nullptr, kDownload),
      ProductCall(root_, kAllLevels, kDownload)};
  std::vector<SyscallCounts> calls = CountSyscalls(work, kRuns);
  std::vector<double> allocations;
  std::vector<double> cpu_us;
  for (const auto& each : work) {
    allocations.push_back(CountAllocations(each, kRuns));
    cpu_us.push_back(CpuUsPerRun(each, std::max(kRuns, options_.iterations / 2)));
  }
  // The lines of one call, for the bare writes they are set against.
  work[2]();
  size_t before = root_.ReadFile(support::kProviderLogPath).size();
  work[2]();
  call_lines_ = root_.ReadFile(support::kProviderLogPath).substr(before);
  lines_all_ = static_cast<double>(
      std::count(call_lines_.begin(), call_lines_.end(), '\n'));
  UseTraceLevel(nullptr);

  PrintHeading("per call, counted: GetAutoDownloadSetting against the "
               "contract floor's client");
  std::printf("%-28s", "");
  for (const std::string& name : names) std::printf(" %15s", name.c_str());
  std::printf("\n");
  std::map<std::string, bool> rows;
  for (const SyscallCounts& each : calls) {
    for (const auto& row : each.byName) rows[row.first] = true;
  }
  for (const auto& row : rows) {
    std::printf("%-28s", row.first.c_str());
    for (const SyscallCounts& each : calls) {
      auto it = each.byName.find(row.first);
      std::printf(" %15.2f", it == each.byName.end() ? 0.0 : it->second);
    }
    std::printf("\n");
  }
  auto print_row = [](const char* label, const std::vector<double>& values) {
    std::printf("%-28s", label);
    for (double value : values) std::printf(" %15.2f", value);
    std::printf("\n");
  };
  print_row("system calls", {calls[0].total, calls[1].total, calls[2].total});
  print_row("fewest of one call", {calls[0].least, calls[1].least, calls[2].least});
  print_row("of them stat (a path)", {calls[0].stats, calls[1].stats, calls[2].stats});
  print_row("allocations (operator new)", allocations);
  print_row("processor time, this side (us)", cpu_us);
  print_row("trace lines written", {0, 0, lines_all_});
  floor_calls_ = calls[0];
  default_calls_ = calls[1];
  allocations_ = allocations[1];
  cpu_contract_us_ = cpu_us[0];
  cpu_default_us_ = cpu_us[1];
}

// The same calls with the scripted transport: what the provider and the
// host runtime cost without a socket or a service.
void Bench::RunInProcess() {
  struct Figure {
    const char* method;
    const char* level;
    std::string reply;
  };
  std::string socket_path = root_.SocketPath();
  std::vector<Figure> figures = {
      {kDownload, nullptr, FloorExchange(socket_path, "0000gtatdnld0000")},
  };
  if (!options_.summary) {
    figures.push_back({kDownload, kAllLevels, figures[0].reply});
    std::string set_reply = FloorExchange(socket_path, set_update_request_);
    std::string status_reply = FloorExchange(socket_path, "0000gustatus0000");
    figures.push_back({kSetUpdate, nullptr, set_reply});
    figures.push_back({kSetUpdate, kAllLevels, set_reply});
    figures.push_back({kStatus, nullptr, status_reply});
    figures.push_back({kStatus, kAllLevels, status_reply});
  }
  testing::ScriptedTransport transport;
  Suite suite;
  for (const Figure& figure : figures) {
    std::string name = std::string(figure.method) +
                       (figure.level == nullptr ? " default" : " all");
    suite.Add(name, ProductCall(root_, figure.level, figure.method),
              [&transport, &figure] { transport.PushReply(figure.reply); });
  }
  std::vector<Stats> stats = suite.Run(warmup_, options_.iterations);
  UseTraceLevel(nullptr);

  PrintHeading("in process, scripted transport: median, p90 (us), share of "
               "the full cycle");
  for (size_t i = 0; i < stats.size(); ++i) {
    double full = i == 0 ? default_us_ : 0;
    PrintStats(suite.names()[i], stats[i], full);
  }
  inprocess_us_ = stats[0].median_us;
}

// What one trace line costs against a bare write() of the same bytes to a
// file opened the same way: the line's own price, as every line is one
// write() so that none is lost or reordered.
void Bench::RunTraceLine() {
  UseRoot(root_);
  UseTraceLevel(kAllLevels);
  const char kPrefix[] = "CVELTRAX_UpdateManager::GetAutoDownloadSetting()";
  // The trace name as the provider passes it, a string made once.
  const std::string name = "umprovider";
  auto trace = [&kPrefix, &name] {
    CTraceUtility::WriteDebug(name, TRACE_DETAIL, "%s %s", kPrefix,
                              "ReceiveMessage is succeeded");
  };
  trace();
  std::string log = root_.ReadFile(support::kProviderLogPath);
  std::string line = log.substr(log.rfind('\n', log.size() - 2) + 1);
  std::string bare_path = root_.PathOf("/var/log/qmx/bare.log");
  int fd = open(bare_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                0600);
  if (fd < 0) throw std::runtime_error("cannot open " + bare_path);
  // Lines a sample, so that the clock's own cost does not count.
  const int kLines = 100;
  Suite suite;
  suite.Add("trace line, every level on", [&trace] {
    for (int i = 0; i < kLines; ++i) trace();
  });
  suite.Add("write() of the same " + std::to_string(line.size()) + " bytes",
            [fd, &line] {
              for (int i = 0; i < kLines; ++i) {
                if (write(fd, line.data(), line.size()) < 0) std::abort();
              }
            });
  // The lines of one every-level call, each a bare write(), to set against
  // what those lines added to the call.
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = call_lines_.find('\n', at)) != std::string::npos;
       at = end + 1) {
    lines.push_back(call_lines_.substr(at, end + 1 - at));
  }
  suite.Add("write() of one call's " + std::to_string(lines.size()) + " lines",
            [fd, &lines] {
              for (const std::string& each : lines) {
                if (write(fd, each.data(), each.size()) < 0) std::abort();
              }
            });
  std::vector<Stats> stats = suite.Run(warmup_, options_.iterations);
  close(fd);
  UseTraceLevel(nullptr);
  PrintHeading("one trace line: median, p90 (us), ratio to a bare write()");
  for (size_t i = 0; i < stats.size(); ++i) {
    double count = i < 2 ? kLines : std::max<double>(1, lines.size());
    stats[i].median_us /= count;
    stats[i].p90_us /= count;
  }
  PrintStats(suite.names()[0], stats[0], stats[1].median_us);
  PrintStats(suite.names()[1], stats[1], 0);
  trace_line_us_ = stats[0].median_us;
  write_us_ = stats[1].median_us;
  line_write_us_ = stats[2].median_us;
  // What a line adds to a call: the every-level cycle less the default one,
  // shared among the lines it wrote.
  double in_cycle_us = lines_all_ > 0 ? (all_us_ - default_us_) / lines_all_ : 0;
  std::printf("%-44s %10.2f %10s %8.2f\n", "a line in the cycle, (all - default) / lines",
              in_cycle_us, "", in_cycle_us / line_write_us_);
  std::printf("%-44s %10.2f\n", ("  the same lines, one write() each (" +
                                  std::to_string(lines.size()) + ")").c_str(),
              line_write_us_);
}

// A body of bytes: "x;x;x;..." or nothing but fill.
std::string Body(size_t bytes, char fill) {
  std::string body(bytes, fill);
  if (fill == 'x') {
    for (size_t i = 1; i < bytes; i += 2) body[i] = ';';
  }
  return body;
}

// Times GetParameter on a body; *peak_kib: the most memory it took.
Stats Bench::TimeSplit(size_t bytes, char fill, int reps, long* peak_kib) {
  const std::string body = Body(bytes, fill);
  std::string input;
  bool reset = ResetPeakRss();
  long before = CurrentRssKib();
  Stats stats = Measure(
      1, reps,
      [this, &input] {
        if (core_->GetParameter(std::move(input)).empty()) std::abort();
      },
      [&input, &body] { input = body; });
  *peak_kib = reset ? PeakRssKib() - before : -1;
  return stats;
}

void Bench::RunScaling() {
  UseRoot(root_);
  UseTraceLevel(nullptr);
  const size_t sizes[] = {1024, 64 * 1024, kMiB, 4 * kMiB};
  const char fills[] = {'x', ';'};
  if (options_.summary) {
    long peak = 0;
    Stats split = TimeSplit(4 * kMiB, ';', std::min(options_.iterations, 3), &peak);
    split4m_ms_ = split.median_us / 1000;
    PrintHeading("GetParameter on 4 MiB of \";\"");
    std::printf("%.1f ms, peak +%ld KiB\n", split4m_ms_, peak);
    return;
  }
  PrintHeading("scaling at the default trace level: median, p90 (us), peak "
               "memory above the start (KiB)");
  for (char fill : fills) {
    double one_mib_us = 0;
    for (size_t bytes : sizes) {
      if (bytes > static_cast<size_t>(options_.scaling_kib) * 1024) continue;
      // About 16 MiB of work per figure, and never fewer than 3 samples.
      int reps = static_cast<int>(std::max<size_t>(
          3, std::min<size_t>(options_.iterations, 16 * kMiB / bytes)));
      std::string label = (fill == 'x' ? "\"x;x;...\" " : "\";;;...\" ") +
                          std::to_string(bytes / 1024) + " KiB";
      long peak = 0;
      Stats split = TimeSplit(bytes, fill, reps, &peak);
      PrintStats("GetParameter " + label, split, 0);
      std::printf("%44s peak +%ld KiB\n", "", peak);
      if (bytes == kMiB) one_mib_us = split.median_us;
      if (bytes == 4 * static_cast<size_t>(kMiB)) {
        std::printf("%44s 4 MiB / 1 MiB = %.2f\n", "", split.median_us / one_mib_us);
        if (fill == ';') split4m_ms_ = split.median_us / 1000;
      }
      const std::string body = Body(bytes, fill);
      const std::string escaped = message::EscapeValue(body);
      std::string work;
      PrintStats("EscapeValue " + label,
                 Measure(1, reps, [&] { work = message::EscapeValue(body); }), 0);
      PrintStats("strReplace \"@@@@\" back " + label,
                 Measure(1, reps,
                         [&] { CStringUtil::strReplace(work, "@@@@", ";"); },
                         [&] { work = escaped; }),
                 0);
    }
  }
}

// A reply of nothing but separators, as large as the receive buffer takes
// (or --scaling-kib): the provider must reject it in time linear in its
// length.
void Bench::RunReader() {
  UseRoot(root_);
  UseTraceLevel(nullptr);
  std::string reply = "0000gtatdnld0000";
  reply.resize(std::min<size_t>(CSocketClient::kReceiveBufferSize - 1,
                                static_cast<size_t>(options_.scaling_kib) * 1024),
               ';');
  testing::ScriptedTransport transport;
  bool reset = ResetPeakRss();
  long before = CurrentRssKib();
  int reps = std::min(options_.iterations, 3);
  Stats stats = Measure(
      1, reps,
      [this] {
        Expect(host_->CallWith(kDownload, nullptr),
               static_cast<uint32_t>(kResultFailed),
               "GetAutoDownloadSetting on a reply of separators");
      },
      [&transport, &reply] { transport.PushReply(reply); });
  PrintHeading("GetAutoDownloadSetting, scripted " + std::to_string(reply.size() / 1024) +
               " KiB reply of \";\"");
  PrintStats("median, p90 (us)", stats, 0);
  std::printf("%44s peak +%ld KiB\n", "", reset ? PeakRssKib() - before : -1L);
}

// Resident memory after many calls against that after a few: nothing may
// pile up from call to call.
void Bench::RunMemory() {
  UseRoot(root_);
  UseTraceLevel(nullptr);
  for (int i = 0; i < kBaselineCalls; ++i) Expect(host_->Call(kDownload), 0, kDownload);
  long after_baseline = CurrentRssKib();
  for (int i = kBaselineCalls; i < options_.memory_calls; ++i) {
    Expect(host_->Call(kDownload), 0, kDownload);
  }
  long after_all = CurrentRssKib();
  rss_growth_kib_ = after_all - after_baseline;
  PrintHeading("resident memory, GetAutoDownloadSetting over the socket");
  std::printf("after %d calls %ld KiB, after %d calls %ld KiB, growth %ld KiB\n",
              kBaselineCalls, after_baseline, options_.memory_calls, after_all,
              rss_growth_kib_);
}

// The install check against a database of realistic size: answered from the
// parsed table while the file stays the same, parsed again when it changes.
void Bench::RunPackages() {
  UseTraceLevel(nullptr);
  std::string status = big_root_.PathOf(support::kPackageStatusPath);
  struct stat info;
  stat(status.c_str(), &info);
  PrintHeading("CheckUmInstall, " + std::to_string(kDatabasePackages) +
               " packages (" + std::to_string(info.st_size / 1024) +
               " KiB): median, p90 (us)");
  UseRoot(big_root_);
  auto check = [this] {
    if (!core_->CheckUmInstall()) throw std::runtime_error("not installed");
  };
  PrintStats("unchanged database", Measure(warmup_, options_.iterations, check), 0);
  int age = 7200;
  PrintStats("database changed before each call",
             Measure(1, std::min(options_.iterations, 200), check,
                     [&] { AgeFile(status, ++age); }),
             0);
  AgeFile(status, 3600);
  UseRoot(root_);
  PrintStats("small database, unchanged",
             Measure(warmup_, options_.iterations, check), 0);
}

// Requests answered per second by the service with 1, 16 and 64 clients
// at once, beside a peer that only answers the same bytes: what the
// service spends per request beyond reading, and for a setting, its
// durable save.
void Bench::RunThroughput() {
  struct Kind {
    const char* method;
    std::string request;
    bool read;
  };
  const std::vector<Kind> kinds = {
      {kStatus, "0000gustatus0000", true},
      {kGetUpdate, "0000gtatupdt0000", true},
      {kSetUpdate, set_update_request_, false}};
  const int counts[] = {1, 16, 64};
  std::map<std::string, std::string> replies;
  for (const Kind& kind : kinds) {
    replies[kind.request.substr(4, 8)] =
        FloorExchange(root_.SocketPath(), kind.request);
  }
  std::string peer_path = root_.PathOf("/var/run/qmx/peer.sock");
  MinimalPeer peer(peer_path, replies);
  const int ms = options_.throughput_ms;
  PrintHeading("throughput on the same CPU(s): requests answered per second, "
               "the service against a peer that only answers the same bytes");
  std::printf("%-22s %7s %12s %12s %8s\n", "", "clients", "qmxupdtmngr",
              "peer", "ratio");
  read_ratio_ = 0;
  double get_rate = 0;
  for (const Kind& kind : kinds) {
    for (int clients : counts) {
      long service_kib = -1;
      double service = RequestsPerSecond(root_.SocketPath(), kind.request,
                                         clients, ms, service_->pid(), &service_kib);
      double minimal = RequestsPerSecond(peer_path, kind.request, clients, ms);
      std::printf("%-22s %7d %12.0f %12.0f %8.2f\n", kind.method, clients,
                  service, minimal, service / minimal);
      if (kind.read && (read_ratio_ == 0 || service / minimal < read_ratio_)) {
        read_ratio_ = service / minimal;
      }
      if (clients == 1 && kind.method == kGetUpdate) get_rate = service;
      if (clients == 1 && !kind.read) set_rate_ = service;
      if (clients == 64) rss64_kib_ = std::max(rss64_kib_, service_kib);
    }
  }
  std::printf("a durable save (SetAutoUpdateSetting less GetAutoUpdateSetting, "
              "one client): %.0f us\n",
              set_rate_ > 0 && get_rate > 0 ? 1e6 / set_rate_ - 1e6 / get_rate : 0);
  std::printf("resident memory of qmxupdtmngr with 64 clients: %ld KiB\n",
              rss64_kib_);
}

// The system calls the service makes for one GetAutoUpdateSetting request,
// one client at a time: its code run in this process, where its calls are
// counted, less those of the client. Calls the C library makes inside itself
// (a thread's wake-up) are not counted.
void Bench::RunServiceCounts() {
  const int kRuns = 50;
  const std::string request = "0000gtatupdt0000";
  service::ServiceState state(service::ServiceSettings::Defaults(), nullptr, nullptr);
  service::Server::Options options;
  options.socket_path = root_.PathOf("/var/run/qmx/counted.sock");
  service::Server server(options, &state);
  std::string error;
  if (!server.Listen(&error)) throw std::runtime_error("counted service: " + error);
  std::thread serving([&server] { server.Run(); });
  auto exchange = [&options, &request] {
    if (FloorExchange(options.socket_path, request).compare(12, 4, "0000") != 0) {
      throw std::runtime_error("counted service: a request failed");
    }
  };
  std::vector<SyscallCounts> calls;
  try {
    calls = CountSyscalls({exchange, FloorCall(request)}, kRuns);
  } catch (...) {
    server.Stop();
    serving.join();
    throw;
  }
  server.Stop();
  serving.join();
  service_calls_ = calls[0];
  for (const auto& row : calls[1].byName) service_calls_.byName[row.first] -= row.second;
  service_calls_.total -= calls[1].total;
  service_calls_.least -= calls[1].least;
  PrintHeading("per GetAutoUpdateSetting request, counted: the service's system calls");
  for (const auto& row : service_calls_.byName) {
    if (row.second > 0.005) std::printf("%-28s %15.2f\n", row.first.c_str(), row.second);
  }
  std::printf("%-28s %15.2f\n", "system calls", service_calls_.total);
  std::printf("%-28s %15.0f\n", "fewest of one request", service_calls_.least);
}

// The figures that do not move with the machine, for the check that holds
// them to the README's.
void Bench::PrintCounts() const {
  std::printf("syscalls_default=%.0f stats_default=%.0f allocs_default=%.0f "
              "service_syscalls=%.0f\n",
              default_calls_.least, default_calls_.stats, allocations_,
              service_calls_.least);
}

void Bench::PrintSummary() const {
  double line_us = lines_all_ > 0 ? (all_us_ - default_us_) / lines_all_ : 0;
  std::printf(
      "floor_us=%.1f contract_floor_us=%.1f default_us=%.1f "
      "ratio_default=%.2f ratio_contract=%.2f "
      "syscalls_contract=%.2f syscalls_default=%.2f stats_default=%.2f "
      "allocs_default=%.1f cpu_contract_us=%.1f cpu_default_us=%.1f all_us=%.1f lines_all=%.0f line_in_cycle_us=%.2f "
      "line_write_us=%.2f ratio_line_in_cycle=%.2f inprocess_us=%.1f "
      "trace_line_us=%.2f write_us=%.2f ratio_trace_line=%.2f "
      "service_read_ratio=%.2f service_syscalls=%.2f set_per_s=%.0f "
      "service_rss64_kib=%ld split4m_ms=%.1f rss_growth_kib=%ld\n",
      floor_us_, contract_floor_us_, default_us_, default_us_ / floor_us_,
      default_us_ / contract_floor_us_, floor_calls_.total,
      default_calls_.total, default_calls_.stats, allocations_,
      cpu_contract_us_, cpu_default_us_, all_us_,
      lines_all_, line_us, line_write_us_, line_us / line_write_us_,
      inprocess_us_, trace_line_us_, write_us_, trace_line_us_ / write_us_,
      read_ratio_, service_calls_.total, set_rate_, rss64_kib_, split4m_ms_,
      rss_growth_kib_);
}

const char* BuildName() {
#if defined(__SANITIZE_ADDRESS__)
  const char* sanitized = ", sanitized";
#else
  const char* sanitized = "";
#endif
  static char name[64];
  std::snprintf(name, sizeof(name), "%d-bit%s",
                static_cast<int>(sizeof(void*) * 8), sanitized);
  return name;
}

// The CPUs this process (and the service it starts) may run on: with one,
// the floor holds no wake-up of another CPU.
int UsableCpus() {
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof(cpus), &cpus) != 0) return 0;
  return CPU_COUNT(&cpus);
}

int Run(const Options& options) {
  Bench bench(options);
  std::printf("qmx-bench: %s build, %d samples per figure, %d CPU(s)\n",
              BuildName(), options.iterations, UsableCpus());
  if (options.counts) {
    bench.RunCounts();
    bench.RunServiceCounts();
    std::fflush(stdout);
    bench.PrintCounts();
    return 0;
  }
  bench.RunFullCycle();
  bench.RunCounts();
  bench.RunServiceCounts();
  bench.RunInProcess();
  bench.RunTraceLine();
  // Before the large bodies, whose memory the allocator may hand back to the
  // system only later.
  bench.RunMemory();
  bench.RunThroughput();
  bench.RunScaling();
  if (!options.summary) {
    bench.RunReader();
    bench.RunPackages();
  }
  std::fflush(stdout);
  bench.PrintSummary();
  return 0;
}

}  // namespace
}  // namespace bench
}  // namespace qmx

int main(int argc, char** argv) {
  qmx::bench::Options options;
  if (!qmx::bench::ParseOptions(argc, argv, &options)) {
    std::fputs(qmx::bench::kUsage, stderr);
    return 2;
  }
  try {
    return qmx::bench::Run(options);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "qmx-bench: %s\n", error.what());
    return 1;
  }
}
