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
#include <memory>
#include <string>
#include <vector>

#include "host/utility.h"
#include "runtime/testing/seams_internal.h"
#include "runtime/trace_files.h"
#include "runtime/trace_control.h"

namespace qmx {
namespace {

constexpr int kDefaultMask = TRACE_ERROR | TRACE_EXCEPTION | TRACE_WARNING;

std::atomic<TraceMirror> g_mirror{nullptr};

// One message of the catalogue. Its level is its severity: an id ending in
// "_F" reports a failure and is an error, one ending in "_S" a detail, so
// that the default mask keeps the failures an operator must see.
struct CatalogueEntry {
  const char* id;
  int level;
  const char* text;  // each %s takes one const char* insert
};

constexpr CatalogueEntry kCatalogue[] = {
    {"MSGID_CP_0005_S", TRACE_DETAIL,
     "request sent to the update service: kind=%s"},
    {"MSGID_CP_0006_S", TRACE_DETAIL,
     "update service answered success: kind=%s result=%s"},
    {"MSGID_CP_0006_F", TRACE_ERROR,
     "update service answered failure: kind=%s result=%s"},
};

// An id the catalogue lacks: the caller and the catalogue disagree, which
// the default mask must show.
constexpr CatalogueEntry kUnknownEntry = {nullptr, TRACE_ERROR,
                                          "(no catalogue text)"};

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

// A line longer than this (a whole reply at full detail) does not leave its
// memory with the thread.
constexpr size_t kKeptLineBytes = 64 * 1024;

// The bytes of the line a thread builds, kept from line to line: a piece is
// appended with one copy, without a string's bookkeeping for each.
class LineBuffer {
 public:
  // Drops the memory of a line longer than kKeptLineBytes; true if it did.
  bool Shrink() {
    if (capacity_ <= kKeptLineBytes) return false;
    data_.reset();
    capacity_ = 0;
    used_ = 0;
    return true;
  }
  void Put(const char* text, size_t length) {
    char* to = Room(length);
    // Most pieces are a blank or a word: a loop copies them for less than
    // the call would cost.
    if (length <= kShortPiece) {
      for (size_t i = 0; i < length; ++i) to[i] = text[i];
    } else {
      std::memcpy(to, text, length);
    }
    used_ += length;
  }
  void Put(const char* text) { Put(text, std::strlen(text)); }
  void Put(char c) { *Room(1) = c; ++used_; }
  // Room for length bytes at the end; Commit takes those written.
  char* Room(size_t length) {
    if (capacity_ - used_ < length) Grow(length);
    return data_.get() + used_;
  }
  void Commit(size_t length) { used_ += length; }
  void Truncate(size_t length) { used_ = length; }
  char* data() const { return data_.get(); }
  size_t size() const { return used_; }
  std::string Text(size_t from) const {
    return std::string(data_.get() + from, used_ - from);
  }

 private:
  static constexpr size_t kShortPiece = 16;

  void Grow(size_t length) {
    size_t capacity = std::max({size_t{256}, 2 * capacity_, used_ + length});
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (used_ > 0) std::memcpy(grown.get(), data_.get(), used_);
    data_ = std::move(grown);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
  size_t used_ = 0;
};

// Appends format with each "%s" replaced by the next argument, verbatim
// ("(null)" for a null one); *inserts, when given, collects the arguments.
// Such formats, the provider's own and every catalogue text, are expanded
// by hand, as a format call cost more than the rest of the line. False, and
// the line left part-way, at the first other conversion.
bool AppendStrings(const char* format, va_list args, LineBuffer* out,
                   std::vector<std::string>* inserts) {
  const char* text = format;
  const char* p = format;
  // One pass over the format, whose texts between inserts are short.
  for (; *p != '\0'; ++p) {
    if (*p != '%') continue;
    if (p[1] != 's') return false;
    out->Put(text, static_cast<size_t>(p - text));
    const char* insert = va_arg(args, const char*);
    if (insert == nullptr) insert = "(null)";
    if (inserts != nullptr) inserts->push_back(insert);
    out->Put(insert);
    text = ++p + 1;
  }
  out->Put(text, static_cast<size_t>(p - text));
  return true;
}

// Appends format with its arguments, as printf would.
void AppendFormatted(const char* format, va_list args, LineBuffer* out) {
  if (format == nullptr) return;
  constexpr size_t kFirstTry = 512;
  va_list again;
  va_copy(again, args);
  const size_t start = out->size();
  if (AppendStrings(format, args, out, nullptr)) {
    va_end(again);
    return;
  }
  out->Truncate(start);
  va_list last;
  va_copy(last, again);
  int needed = std::vsnprintf(out->Room(kFirstTry), kFirstTry, format, again);
  if (needed < 0) {
    out->Put(format);
  } else if (static_cast<size_t>(needed) < kFirstTry) {
    out->Commit(static_cast<size_t>(needed));
  } else {
    size_t length = static_cast<size_t>(needed);
    std::vsnprintf(out->Room(length + 1), length + 1, format, last);
    out->Commit(length);
  }
  va_end(last);
  va_end(again);
}

const CatalogueEntry& FindEntry(const char* messageId) {
  for (const CatalogueEntry& entry : kCatalogue) {
    if (std::strcmp(entry.id, messageId) == 0) return entry;
  }
  return kUnknownEntry;
}

// Forks so far, as the child of each one counts them.
std::atomic<unsigned> g_forks{0};

void CountFork() { g_forks.fetch_add(1, std::memory_order_relaxed); }

// The tag of a line: "L<level>" for WriteDebug, the message id for
// WriteTrace.
struct LineTag {
  int level;
  const char* id;  // null for a level's tag
};

// What a thread keeps from line to line: the line it builds, whose memory
// is reused, and at its start the head of the thread's last line,
// "2026-12-06T02:22:16.123456Z [pid:tid] <name> <tag> ". A line of the same
// name and tag takes that head as it is but for the microseconds, the only
// part written for each line: the date and the ids are formatted again
// only when the second changes or a fork gives the thread new ids, the
// name and tag copied again only when they change (a format call, or even
// the copies, cost more than the rest of the line).
struct ThreadLines {
  time_t second = -1;
  unsigned forks = ~0u;
  char stamp[64] = "";  // "<date>.000000Z [pid:tid] " of that second
  size_t stampLength = 0;
  size_t microsAt = 0;  // where the six digits of microseconds are
  // The head at the start of line; headLength 0 when there is none. Its
  // tag is a message id's, or "L<level>".
  bool tagIsId = false;
  int level = 0;
  size_t nameLength = 0;
  size_t tagLength = 0;
  size_t headLength = 0;
  LineBuffer line;

  // Whether this line's name is that of the thread's last one.
  bool sameName = false;
  TraceLog log;

  // True when the head is that of a line of traceName.
  bool NameFits(const std::string& traceName) const {
    return headLength != 0 && traceName.size() == nameLength &&
           std::memcmp(line.data() + stampLength, traceName.data(), nameLength) == 0;
  }
  // True when the head bears tag.
  bool TagFits(const LineTag& next) const {
    if (next.id == nullptr) return !tagIsId && level == next.level;
    const char* tagText = line.data() + stampLength + nameLength + 1;
    return tagIsId && std::strncmp(next.id, tagText, tagLength) == 0 &&
           next.id[tagLength] == '\0';
  }
};

ThreadLines& Mine() {
  static const int registered = pthread_atfork(nullptr, nullptr, CountFork);
  (void)registered;
  thread_local ThreadLines mine __attribute__((tls_model("initial-exec")));
  return mine;
}

void FormatStamp(time_t second, unsigned forks, ThreadLines* mine) {
  struct tm utc;
  gmtime_r(&second, &utc);
  int date = std::snprintf(mine->stamp, sizeof(mine->stamp),
                           "%04d-%02d-%02dT%02d:%02d:%02d.", utc.tm_year + 1900,
                           utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                           utc.tm_min, utc.tm_sec);
  int ids = std::snprintf(mine->stamp + date, sizeof(mine->stamp) - date,
                          "000000Z [%d:%ld] ", static_cast<int>(getpid()),
                          static_cast<long>(syscall(SYS_gettid)));
  mine->microsAt = static_cast<size_t>(date);
  mine->stampLength = static_cast<size_t>(date + ids);
  mine->second = second;
  mine->forks = forks;
  mine->headLength = 0;
}

// Writes "<stamp><name> <tag> " at the start of the thread's line.
void WriteHead(const std::string& traceName, const LineTag& tag,
               ThreadLines* mine) {
  LineBuffer* line = &mine->line;
  line->Truncate(0);
  line->Put(mine->stamp, mine->stampLength);
  line->Put(traceName.data(), traceName.size());
  line->Put(' ');
  const size_t tagAt = line->size();
  if (tag.id != nullptr) {
    line->Put(tag.id);
  } else {
    line->Put('L');
    char* digits = line->Room(16);
    line->Commit(static_cast<size_t>(std::to_chars(digits, digits + 16, tag.level).ptr - digits));
  }
  mine->tagLength = line->size() - tagAt;
  line->Put(' ');
  mine->tagIsId = tag.id != nullptr;
  mine->level = tag.level;
  mine->nameLength = traceName.size();
  mine->headLength = line->size();
}

// Sets the head of the thread's line to one of traceName and tag as of now.
void RenewHead(const std::string& traceName, const LineTag& tag,
               ThreadLines* mine) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned forks = g_forks.load(std::memory_order_relaxed);
  if (mine->second != now.tv_sec || mine->forks != forks) {
    FormatStamp(now.tv_sec, forks, mine);
  }
  mine->sameName = mine->NameFits(traceName);
  if (!mine->sameName || !mine->TagFits(tag)) WriteHead(traceName, tag, mine);
  // Two digits at a time, from a table: the line's own work is small enough
  // for six divisions to show.
  static const char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536"
      "37383940414243444546474849505152535455565758596061626364656667686970717273"
      "7475767778798081828384858687888990919293949596979899";
  char* micros = mine->line.data() + mine->microsAt;
  unsigned value = static_cast<unsigned>(now.tv_nsec / 1000);
  for (int pair = 4; pair >= 0; pair -= 2, value /= 100) {
    std::memcpy(micros + pair, kPairs + 2 * (value % 100), 2);
  }
}

// Starts the thread's line, after the head of traceName and tag when it
// goes to the log (a line only captured keeps the head, unused, for the
// next); returns where its text begins.
size_t BeginLine(const std::string& traceName, const LineTag& tag, bool toFile,
                 ThreadLines* mine) {
  if (mine->line.Shrink()) mine->headLength = 0;
  if (toFile) RenewHead(traceName, tag, mine);
  mine->line.Truncate(mine->headLength);
  return mine->headLength;
}

// Writes the line whose text begins at body to the log file and the mirror.
// A line break in the text would split one line into two, so it becomes a
// blank.
void EndLine(const std::string& traceName, size_t body, ThreadLines* mine) {
  LineBuffer* line = &mine->line;
  char* text = line->data() + body;
  size_t length = line->size() - body;
  if (std::memchr(text, '\n', length) != nullptr ||
      std::memchr(text, '\r', length) != nullptr) {
    std::replace_if(text, text + length,
                    [](char c) { return c == '\n' || c == '\r'; }, ' ');
  }
  line->Put('\n');
  mine->log.Append(traceName, mine->sameName, mine->second, line->data(),
                   line->size());
  TraceMirror mirror = g_mirror.load(std::memory_order_relaxed);
  if (mirror != nullptr) mirror(line->Text(0));
}

}  // namespace

void SetTraceMirror(TraceMirror mirror) { g_mirror.store(mirror); }

void ReloadTraceLevel() {
  g_fileMask.store(kNotRead);
  ReaskTracePaths();
}

int TraceLevel() { return FileMask(); }

}  // namespace qmx

void CTraceUtility::WriteDebug(const std::string& traceName, int level,
                               const char* format, ...) {
  bool toFile = (level & qmx::FileMask()) != 0;
  bool toCapture = qmx::CaptureWants(level);
  if (!toFile && !toCapture) return;
  qmx::ThreadLines& mine = qmx::Mine();
  size_t body = qmx::BeginLine(traceName, {level, nullptr}, toFile, &mine);
  va_list args;
  va_start(args, format);
  qmx::AppendFormatted(format, args, &mine.line);
  va_end(args);
  if (toCapture) {
    qmx::internal::CaptureTraceLine({traceName, level, "", {}, mine.line.Text(body)});
  }
  if (toFile) qmx::EndLine(traceName, body, &mine);
}

void CTraceUtility::WriteTrace(const std::string& traceName,
                               const char* messageId, ...) {
  const char* id = messageId == nullptr ? "(no id)" : messageId;
  const qmx::CatalogueEntry& entry = qmx::FindEntry(id);
  bool toFile = (entry.level & qmx::FileMask()) != 0;
  bool toCapture = qmx::CaptureWants(entry.level);
  if (!toFile && !toCapture) return;
  qmx::ThreadLines& mine = qmx::Mine();
  size_t body = qmx::BeginLine(traceName, {entry.level, id}, toFile, &mine);
  std::vector<std::string> inserts;
  if (entry.id == nullptr) {
    mine.line.Put(entry.text);
  } else {
    va_list args;
    va_start(args, messageId);
    qmx::AppendStrings(entry.text, args, &mine.line, toCapture ? &inserts : nullptr);
    va_end(args);
  }
  if (toCapture) {
    qmx::internal::CaptureTraceLine(
        {traceName, entry.level, id, inserts, mine.line.Text(body)});
  }
  if (toFile) qmx::EndLine(traceName, body, &mine);
}
