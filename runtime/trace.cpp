// CTraceUtility: level-masked trace lines to per-name log files, the
// optional mirror and the test capture.

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "host/utility.h"
#include "runtime/testing/seams_internal.h"
#include "runtime/trace_files.h"
#include "runtime/trace_control.h"

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

// QMX_TRACE_LEVEL as a mask; anything but a decimal number is the default.
int ParseTraceLevel(const char* text) {
  if (text == nullptr || *text == '\0') return kDefaultMask;
  int mask = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || mask > 0xffff) return kDefaultMask;
    mask = mask * 10 + (*p - '0');
  }
  return mask;
}

constexpr int kNotRead = -1;
std::atomic<int> g_fileMask{kNotRead};

int FileMask() {
  int mask = g_fileMask.load(std::memory_order_relaxed);
  if (mask != kNotRead) return mask;
  mask = ParseTraceLevel(std::getenv("QMX_TRACE_LEVEL"));
  g_fileMask.store(mask, std::memory_order_relaxed);
  return mask;
}

bool CaptureWants(int level) {
  return (internal::g_captureMask.load(std::memory_order_relaxed) & level) != 0;
}

bool CaptureAlive() {
  return internal::g_captureMask.load(std::memory_order_relaxed) != 0;
}

// True when every conversion of format is "%s": such formats, the
// provider's own and every catalogue text, are expanded by hand, as a format
// call cost more than the rest of the line.
bool OnlyStrings(const char* format) {
  for (const char* p = std::strchr(format, '%'); p != nullptr;
       p = std::strchr(p + 2, '%')) {
    if (p[1] != 's') return false;
  }
  return true;
}

// Appends format with each "%s" replaced by the next argument, verbatim
// ("(null)" for a null one); *inserts, when given, collects the arguments.
void AppendStrings(const char* format, va_list args, std::string* out,
                   std::vector<std::string>* inserts) {
  for (const char* p = format;;) {
    const char* conversion = std::strstr(p, "%s");
    if (conversion == nullptr) {
      out->append(p);
      return;
    }
    out->append(p, static_cast<size_t>(conversion - p));
    const char* insert = va_arg(args, const char*);
    if (insert == nullptr) insert = "(null)";
    if (inserts != nullptr) inserts->push_back(insert);
    out->append(insert);
    p = conversion + 2;
  }
}

// Appends format with its arguments, as printf would.
void AppendFormatted(const char* format, va_list args, std::string* out) {
  if (format == nullptr) return;
  if (OnlyStrings(format)) {
    AppendStrings(format, args, out, nullptr);
    return;
  }
  char local[512];
  va_list again;
  va_copy(again, args);
  int needed = std::vsnprintf(local, sizeof(local), format, args);
  if (needed < 0) {
    out->append(format);
  } else if (static_cast<size_t>(needed) < sizeof(local)) {
    out->append(local, static_cast<size_t>(needed));
  } else {
    size_t start = out->size();
    out->resize(start + static_cast<size_t>(needed) + 1);
    std::vsnprintf(&(*out)[start], static_cast<size_t>(needed) + 1, format,
                   again);
    out->resize(start + static_cast<size_t>(needed));
  }
  va_end(again);
}

const char* CatalogueText(const char* messageId) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (std::strcmp(entry.id, messageId) == 0) return entry.text;
  }
  return nullptr;
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

// The line a thread is building, kept from line to line so that its memory
// is reused.
std::string& ThreadLine() {
  thread_local std::string line;
  line.clear();
  return line;
}

// "L<level>", the tag of a line of WriteDebug.
struct LevelTag {
  explicit LevelTag(int level) {
    char* end = std::to_chars(text + 1, text + sizeof(text) - 1, level).ptr;
    *end = '\0';
  }
  char text[16] = "L";
};

// Starts *line with "<prefix><tag> " when it goes to the log; returns where
// its text begins.
size_t BeginLine(const std::string& traceName, const char* tag, bool toFile,
                 std::string* line) {
  if (!toFile) return 0;
  AppendLinePrefix(traceName, line);
  line->append(tag).append(1, ' ');
  return line->size();
}

// Writes the line whose text begins at body to the log file and the mirror.
// A line break in the text would split one line into two, so it becomes a
// blank.
void EndLine(const std::string& traceName, size_t body, std::string* line) {
  const char* text = line->data() + body;
  size_t length = line->size() - body;
  if (std::memchr(text, '\n', length) != nullptr ||
      std::memchr(text, '\r', length) != nullptr) {
    std::replace_if(line->begin() + static_cast<std::ptrdiff_t>(body),
                    line->end(),
                    [](char c) { return c == '\n' || c == '\r'; }, ' ');
  }
  *line += '\n';
  AppendTraceLine(traceName, *line);
  int mirror = g_mirrorFd.load(std::memory_order_relaxed);
  if (mirror >= 0) WriteFully(mirror, *line);
}

}  // namespace

void SetTraceMirror(int fd) { g_mirrorFd.store(fd < 0 ? -1 : fd); }

void ReloadTraceLevel() { g_fileMask.store(kNotRead); }

}  // namespace qmx

void CTraceUtility::WriteDebug(const std::string& traceName, int level,
                               const char* format, ...) {
  bool toFile = (level & qmx::FileMask()) != 0;
  bool toCapture = qmx::CaptureWants(level);
  if (!toFile && !toCapture) return;
  std::string& line = qmx::ThreadLine();
  size_t body =
      qmx::BeginLine(traceName, qmx::LevelTag(level).text, toFile, &line);
  va_list args;
  va_start(args, format);
  qmx::AppendFormatted(format, args, &line);
  va_end(args);
  if (toCapture) {
    qmx::internal::CaptureTraceLine({traceName, level, "", {}, line.substr(body)});
  }
  if (toFile) qmx::EndLine(traceName, body, &line);
}

void CTraceUtility::WriteTrace(const std::string& traceName,
                               const char* messageId, ...) {
  bool toFile = (qmx::kCatalogueLevel & qmx::FileMask()) != 0;
  bool toCapture = qmx::CaptureAlive();
  if (!toFile && !toCapture) return;
  const char* id = messageId == nullptr ? "(no id)" : messageId;
  const char* catalogue = qmx::CatalogueText(id);
  std::string& line = qmx::ThreadLine();
  size_t body = qmx::BeginLine(traceName, id, toFile, &line);
  std::vector<std::string> inserts;
  if (catalogue == nullptr) {
    line.append(qmx::kNoCatalogueText);
  } else {
    va_list args;
    va_start(args, messageId);
    qmx::AppendStrings(catalogue, args, &line, toCapture ? &inserts : nullptr);
    va_end(args);
  }
  if (toCapture) {
    qmx::internal::CaptureTraceLine({traceName, 0, id, inserts, line.substr(body)});
  }
  if (toFile) qmx::EndLine(traceName, body, &line);
}
