// Status and reboot: "GetQmxStatus" and "ExecuteReboot".

#include <cstdio>
#include <string>

#include "host/utility.h"
#include "link/MessageFormat.h"
#include "provider/RequestCycle.h"
#include "provider/UpdateManager.h"

namespace {

const char kStatusSignature[] =
    "long int CVELTRAX_UpdateManager::GetQmxStatus(IWbemClassObject*, "
    "IWbemClassObject*)";
const char kStatusKind[] = "gustatus";
const LinkFailureTexts kStatusFailureTexts = {"send failed", "recv failed",
                                              kResultFailed};

}  // namespace

// The status query runs its own, older variant of the cycle: no install
// check, no message traces, and its result code passed on as it is.
long CVELTRAX_UpdateManager::GetQmxStatus(IWbemClassObject*, IWbemClassObject*) {
  OperationTrace trace(kStatusSignature);
  CTraceUtility::WriteDebug(kTraceName, TRACE_FUNCTION, "[ENTER] %s",
                            kStatusSignature);
  long result = OpenLink(trace);
  if (result != kResultSuccess) return result;
  OpenLinkScope link(this);

  char request[256];
  snprintf(request, sizeof(request), "%04d%s%s", 0, kStatusKind,
           message::kSuccessCode);
  std::string reply;
  result = Exchange(trace, &link, request, &reply, kStatusFailureTexts);
  if (result != kResultSuccess) return result;

  if (reply.size() < message::kHeaderLength) {
    trace.Write(TRACE_ERROR, "Message length error (exp=%d, res=%d)",
                static_cast<int>(message::kHeaderLength),
                static_cast<int>(reply.size()));
    return kResultFailed;
  }
  std::string kind = message::KindOf(reply);
  if (kind != kStatusKind) {
    trace.Write(TRACE_ERROR, "Message kind error (%s)", kind.c_str());
    return kResultFailed;
  }
  std::string code = message::CodeOf(reply);
  // The received code is text, never a format.
  std::string leave =
      std::string("[LEAVE] ") + kStatusSignature + ", rc=" + code;
  CTraceUtility::WriteDebug(kTraceName, TRACE_FUNCTION, "%s", leave.c_str());
  return message::CodeValue(code);
}

long CVELTRAX_UpdateManager::ExecuteReboot(IWbemClassObject*, IWbemClassObject*) {
  return RunRequestCycle({OperationTrace("CVELTRAX_UpdateManager::ExecuteReboot()"),
                          "exreboot", ReplyLength::kHeaderOnly, nullptr,
                          nullptr});
}
