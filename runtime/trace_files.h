// The trace log files: one descriptor kept open per file so that a line costs
// one write(), and every line written with a single write() on an O_APPEND
// descriptor so that concurrent writers (threads or processes) never
// interleave within a line.

#ifndef QMX_RUNTIME_TRACE_FILES_H_
#define QMX_RUNTIME_TRACE_FILES_H_

#include <time.h>

#include <cstddef>
#include <string>

namespace qmx {

// Appends the length bytes of line (ending in '\n') to the log of traceName,
// /var/log/qmx/<traceName>.log under QMX_ROOT, creating its folders (0700)
// and the file (0600) as needed. Failures are dropped: tracing never fails
// its caller.
// second is the wall-clock second the line shows: the log's path is asked
// again when it changes, so that a removed or replaced log is reopened.
void AppendTraceLine(const std::string& traceName, time_t second,
                     const char* line, size_t length);

// Makes every thread ask for its log's path, QMX_ROOT included, at its next
// line instead of in its next second.
void ReaskTracePaths();

}  // namespace qmx

#endif  // QMX_RUNTIME_TRACE_FILES_H_
