// The trace log files: one descriptor kept open per file so that a line costs
// one write(), and every line written with a single write() on an O_APPEND
// descriptor so that concurrent writers (threads or processes) never
// interleave within a line.

#ifndef QMX_RUNTIME_TRACE_FILES_H_
#define QMX_RUNTIME_TRACE_FILES_H_

#include <time.h>

#include <cstddef>
#include <memory>
#include <string>

namespace qmx {

struct OpenFile;

// A thread's way to its log: the descriptor its last line went to. A
// thread writes line after line of one trace name under one root, so most
// lines go straight to it. The path, QMX_ROOT included, is asked again only
// for another trace name, in a new second or after ReaskTracePaths():
// asking (getenv, lstat) costs as much as writing the line. So a log
// removed, replaced or renamed by logrotate is followed within a second,
// and the lines of that second go to the file that was open, under its new
// name.
// The thread holds the descriptor, not the file: when any thread finds the
// log replaced, the new file is put under the same descriptor, and the old
// one is closed once the lines being written to it are done, even while a
// thread that wrote to it last stays idle. A line thus takes no lock and
// no count of its file's users.
class TraceLog {
 public:
  // Appends the length bytes of line (ending in '\n') to the log of
  // traceName, /var/log/qmx/<traceName>.log under QMX_ROOT, creating its
  // folders (0700) and the file (0600) as needed. Failures are dropped:
  // tracing never fails its caller. A log that cannot be opened is asked
  // for again at the next line.
  // sameName: traceName is that of the last line appended here. second is
  // the wall-clock second the line shows.
  void Append(const std::string& traceName, bool sameName, time_t second,
              const char* line, size_t length);

 private:
  std::shared_ptr<OpenFile> file_;
  time_t second_ = -1;
  unsigned epoch_ = 0;
};

// Makes every thread ask for its log's path, QMX_ROOT included, at its next
// line instead of in its next second.
void ReaskTracePaths();

}  // namespace qmx

#endif  // QMX_RUNTIME_TRACE_FILES_H_
