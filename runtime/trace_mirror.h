// A copy of every trace line that passes the level mask, for hosts that show
// their trace on a terminal (a command-line host's --trace).

#ifndef QMX_RUNTIME_TRACE_MIRROR_H_
#define QMX_RUNTIME_TRACE_MIRROR_H_

#pragma GCC visibility push(default)

namespace qmx {

// Writes each such line also to fd, in the log file's format; -1 stops it.
// The descriptor stays the caller's: it is never closed here.
void SetTraceMirror(int fd);

}  // namespace qmx

#pragma GCC visibility pop

#endif  // QMX_RUNTIME_TRACE_MIRROR_H_
