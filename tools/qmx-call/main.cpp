// qmx-call: plays the host framework for one method call of
// VELTRAX_UpdateManager, so that a person or a script can drive the provider
// and the update service from a shell.

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/qmx_root.h"
#include "runtime/trace_control.h"
#include "tools/qmx-call/call_options.h"
#include "tools/qmx-call/call_report.h"
#include "tools/qmx-call/chain_check.h"
#include "tools/qmx-call/method_call.h"
#include "tools/qmx-call/standard_streams.h"

namespace {

using namespace qmx::call;

// Exit statuses beyond those of the call itself (sysexits.h).
const int kUsageError = 64;        // EX_USAGE
const int kReportNotWritten = 74;  // EX_IOERR

StandardStreams g_streams;

// One line on stderr; what it quotes of the user's input or of a file is
// shown escaped, like the report.
int Fail(int status, const std::string& message) {
  g_streams.WriteErr("qmx-call: " + Printable(message) + "\n");
  return status;
}

// The report, or the help, on standard output; its exit status, or
// kReportNotWritten when it did not all get there.
int Report(const std::string& text, int status) {
  std::string error;
  if (g_streams.WriteOut(text, &error)) return status;
  return Fail(kReportNotWritten, "cannot write the report: " + error);
}

// A trace line carries stored values: shown as the report shows them.
void WriteTraceLine(const std::string& line) {
  g_streams.WriteErr(Printable(line.substr(0, line.size() - 1)) + "\n");
}

void MirrorTrace() {
  // Every level, unless the user chose some (an empty choice is none).
  const char* level = getenv("QMX_TRACE_LEVEL");
  if (level == nullptr || *level == '\0') setenv("QMX_TRACE_LEVEL", "31", 1);
  qmx::ReloadTraceLevel();
  qmx::SetTraceMirror(WriteTraceLine);
}

int Call(const CallOptions& options) {
  std::string error;
  MethodCall call;
  if (!call.Prepare(options, &error)) return Fail(kUsageError, error);
  CallOutcome outcome = call.Run();
  return Report(options.json ? FormatJson(outcome) : FormatText(outcome),
                ExitStatus(outcome));
}

// Text goes out line by line, so that the links checked so far show while
// a silent service takes its time-out; JSON goes out whole at the end.
int Check(const CallOptions& options) {
  std::vector<LinkResult> links;
  bool all_ok = true;
  int written = 0;
  CheckChain(options.provider, options.schema, [&](const LinkResult& link) {
    links.push_back(link);
    all_ok = all_ok && link.ok;
    if (!options.json) written = Report(FormatLinkText(link), 0);
    return written == 0;
  });
  if (written == 0 && options.json) written = Report(FormatLinksJson(links), 0);
  if (written != 0) return written;
  return all_ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  if (!g_streams.Secure(&error)) return Fail(kReportNotWritten, error);
  if (!qmx::CheckQmxRoot(&error)) return Fail(kUsageError, error);
  CallOptions options;
  if (!ParseCallOptions(argc, argv, &options, &error)) {
    Fail(kUsageError, error);
    g_streams.WriteErr(Usage());
    return kUsageError;
  }
  if (options.help) return Report(Usage(), 0);
  ApplyDefaultPaths(&options);
  if (options.trace) MirrorTrace();
  return options.check ? Check(options) : Call(options);
}
