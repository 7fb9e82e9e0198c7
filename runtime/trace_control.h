// What a host sets and asks of its trace: the level mask, and a copy of every line
// for hosts that show their trace on a terminal (a command-line host's
// --trace).

#ifndef QMX_RUNTIME_TRACE_CONTROL_H_
#define QMX_RUNTIME_TRACE_CONTROL_H_

#include <string>

#pragma GCC visibility push(default)

namespace qmx {

// Hands each line written also to mirror, in the log file's format with
// its line break, on the thread that traced it; null stops it. A host that
// shows the lines decides how (qmx-call escapes what a value holds).
using TraceMirror = void (*)(const std::string& line);
void SetTraceMirror(TraceMirror mirror);

// Reads QMX_TRACE_LEVEL and, for the trace's files, QMX_ROOT again. The mask
// is read at the first trace call and then kept, since every call asks for
// it and a trace site whose level is masked out must cost next to nothing;
// the root is read with the log's path, at most once a second per thread,
// since reading it for every line cost a third of the line. A host that
// changes either variable calls this.
void ReloadTraceLevel();

// The level mask in force: QMX_TRACE_LEVEL as the trace reads it, or the
// default when it is unset or not a decimal number.
int TraceLevel();

}  // namespace qmx

#pragma GCC visibility pop

#endif  // QMX_RUNTIME_TRACE_CONTROL_H_
