// CTraceUtility: level-masked trace lines to per-name log files, the
// optional mirror and the test capture.

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/qmx_root.h"
#include "host/utility.h"
#include "runtime/testing/seams_internal.h"
#include "runtime/trace_files.h"
#include "runtime/trace_mirror.h"

namespace qmx {
namespace {

constexpr int kDefaultMask = TRACE_ERROR | TRACE_EXCEPTION | TRACE_WARNING;
// Catalogue lines are details as far as the mask is concerned.
constexpr int kCatalogueLevel = TRACE_DETAIL;
constexpr const char* kNoCatalogueText = "(no catalogue text)";

std::atomic<int> g_mirrorFd{-1};

struct CatalogueEntry {
  const char* id;
  const char* text;  // each %s takes one const char* insert
};

constexpr CatalogueEntry kCatalogue[] = {
    {"MSGID_CP_0005_S", "request sent to the update service: kind=%s"},
    {"MSGID_CP_0006_S",
     "update service answered success: kind=%s result=%s"},
    {"MSGID_CP_0006_F",
     "update service answered failure: kind=%s result=%s"},
};

// QMX_TRACE_LEVEL, read on every call so that a change takes effect at once;
// parsing a few digits costs no more than comparing with a cached copy.
int FileMask() {
  const char* text = std::getenv("QMX_TRACE_LEVEL");
  if (text == nullptr || *text == '\0') return kDefaultMask;
  int mask = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || mask > 0xffff) return kDefaultMask;
    mask = mask * 10 + (*p - '0');
  }
  return mask;
}

bool CaptureWants(int level) {
  return (internal::g_captureMask.load(std::memory_order_relaxed) & level) != 0;
}

bool CaptureAlive() {
  return internal::g_captureMask.load(std::memory_order_relaxed) != 0;
}

std::string FormatV(const char* format, va_list args) {
  if (format == nullptr) return "";
  char local[512];
  va_list again;
  va_copy(again, args);
  int needed = std::vsnprintf(local, sizeof(local), format, args);
  std::string text;
  if (needed < 0) {
    text = format;
  } else if (static_cast<size_t>(needed) < sizeof(local)) {
    text.assign(local, static_cast<size_t>(needed));
  } else {
    text.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(&text[0], text.size(), format, again);
    text.resize(static_cast<size_t>(needed));
  }
  va_end(again);
  return text;
}

const char* CatalogueText(const char* messageId) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (std::strcmp(entry.id, messageId) == 0) return entry.text;
  }
  return nullptr;
}

// The catalogue text with each %s replaced by the next insert, verbatim.
std::string ExpandCatalogue(const char* text, va_list args,
                            std::vector<std::string>* inserts) {
  std::string line;
  for (const char* p = text; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      const char* insert = va_arg(args, const char*);
      inserts->push_back(insert == nullptr ? "(null)" : insert);
      line += inserts->back();
      ++p;
    } else {
      line += *p;
    }
  }
  return line;
}

// Forks so far, as the child of each one counts them.
std::atomic<unsigned> g_forks{0};

void CountFork() { g_forks.fetch_add(1, std::memory_order_relaxed); }

// "[pid:tid] " of the line prefix, asked of the kernel and formatted once
// per thread rather than for every line. A forked child, whose ids are new,
// asks again.
struct ThreadIds {
  unsigned forks = ~0u;
  char text[48] = "";
};

const char* CurrentIds() {
  static const int registered = pthread_atfork(nullptr, nullptr, CountFork);
  (void)registered;
  thread_local ThreadIds ids;
  unsigned forks = g_forks.load(std::memory_order_relaxed);
  if (ids.forks != forks) {
    ids.forks = forks;
    std::snprintf(ids.text, sizeof(ids.text), "[%d:%ld] ",
                  static_cast<int>(getpid()),
                  static_cast<long>(syscall(SYS_gettid)));
  }
  return ids.text;
}

// The date and time to the second, formatted again only when the second
// changes, since most lines of a call fall within one.
struct SecondText {
  time_t second = -1;
  char text[80] = "";
};

// Appends "2026-12-06T02:22:16.123456Z [pid:tid] name " to *line.
void AppendLinePrefix(const std::string& traceName, std::string* line) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  thread_local SecondText second;
  if (second.second != now.tv_sec) {
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    std::snprintf(second.text, sizeof(second.text),
                  "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec);
    second.second = now.tv_sec;
  }
  // ".uuuuuuZ ", six digits of microseconds, written by hand: a format call
  // here cost more than the rest of the line.
  char micros[9] = ".000000Z";
  long value = now.tv_nsec / 1000;
  for (int digit = 6; digit >= 1; --digit, value /= 10) {
    micros[digit] = static_cast<char>('0' + value % 10);
  }
  line->append(second.text).append(micros).append(1, ' ');
  line->append(CurrentIds()).append(traceName).append(1, ' ');
}

// A file name cannot leave the log folder, whatever the trace name.
std::string LogPath(const std::string& traceName) {
  std::string name = traceName.empty() ? "trace" : traceName;
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return RootedPath("/var/log/qmx/") + name + ".log";
}

// Writes "<prefix><tag> <text>\n" to the log file and the mirror. A line
// break in the text would split one line into two, so it becomes a blank.
void WriteLine(const std::string& traceName, const std::string& tag,
               const std::string& text) {
  std::string line;
  line.reserve(64 + traceName.size() + tag.size() + text.size());
  AppendLinePrefix(traceName, &line);
  line.append(tag).append(1, ' ');
  size_t body = line.size();
  line.append(text);
  std::replace_if(line.begin() + static_cast<std::ptrdiff_t>(body), line.end(),
                  [](char c) { return c == '\n' || c == '\r'; }, ' ');
  line += '\n';
  AppendTraceLine(LogPath(traceName), line);
  int mirror = g_mirrorFd.load(std::memory_order_relaxed);
  if (mirror >= 0) WriteFully(mirror, line);
}

}  // namespace

void SetTraceMirror(int fd) { g_mirrorFd.store(fd < 0 ? -1 : fd); }

}  // namespace qmx

void CTraceUtility::WriteDebug(const std::string& traceName, int level,
                               const char* format, ...) {
  bool toFile = (level & qmx::FileMask()) != 0;
  bool toCapture = qmx::CaptureWants(level);
  if (!toFile && !toCapture) return;
  va_list args;
  va_start(args, format);
  std::string text = qmx::FormatV(format, args);
  va_end(args);
  if (toCapture) {
    qmx::internal::CaptureTraceLine({traceName, level, "", {}, text});
  }
  if (toFile) qmx::WriteLine(traceName, "L" + std::to_string(level), text);
}

void CTraceUtility::WriteTrace(const std::string& traceName,
                               const char* messageId, ...) {
  bool toFile = (qmx::kCatalogueLevel & qmx::FileMask()) != 0;
  bool toCapture = qmx::CaptureAlive();
  if (!toFile && !toCapture) return;
  std::string id = messageId == nullptr ? "(no id)" : messageId;
  const char* catalogue = qmx::CatalogueText(id.c_str());
  std::vector<std::string> inserts;
  std::string text = qmx::kNoCatalogueText;
  if (catalogue != nullptr) {
    va_list args;
    va_start(args, messageId);
    text = qmx::ExpandCatalogue(catalogue, args, &inserts);
    va_end(args);
  }
  if (toCapture) {
    qmx::internal::CaptureTraceLine({traceName, 0, id, inserts, text});
  }
  if (toFile) qmx::WriteLine(traceName, id, text);
}

bool CTraceUtility::IsEnabled(int level) {
  return (level & qmx::FileMask()) != 0 || qmx::CaptureWants(level);
}
