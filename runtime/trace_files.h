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

// A thread's way to its log: the file its last line went to. A thread
// writes line after line of one trace name under one root, so most lines go
// straight to this file. The path, QMX_ROOT included, is asked again only
// for another trace name, in a new second or after ReaskTracePaths():
// asking (getenv, lstat) costs as much as writing the line. So a log
// removed, replaced or renamed by logrotate is followed within a second,
// and the lines of that second go to the file that was open, under its new
// name.
// The thread does not own the file: when any thread finds the log replaced,
// the old file is closed once the lines being written to it are done, even
// while a thread that wrote to it last stays idle.
class TraceLog {
 public:
  // Appends the length bytes of line (ending in '\n') to the log of
  // traceName, /var/log/qmx/<traceName>.log under QMX_ROOT, creating its
  // folders (0700) and the file (0600) as needed. Failures are dropped:
  // tracing never fails its caller.
  // sameName: traceName is that of the last line appended here. second is
  // the wall-clock second the line shows.
  void Append(const std::string& traceName, bool sameName, time_t second,
              const char* line, size_t length);

 private:
  // The file of traceName's log, or null (a log that cannot be opened is
  // asked again in the next second); it stays open while the caller holds
  // it.
  std::shared_ptr<OpenFile> File(const std::string& traceName, bool sameName,
                                 time_t second);

  std::weak_ptr<OpenFile> file_;
  time_t second_ = -1;
  unsigned epoch_ = 0;
};

// Makes every thread ask for its log's path, QMX_ROOT included, at its next
// line instead of in its next second.
void ReaskTracePaths();

}  // namespace qmx

#endif  // QMX_RUNTIME_TRACE_FILES_H_
