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
const CLinkFailureTexts kStatusFailureTexts = {"send failed", "recv failed",
                                               kResultFailed};

}  // namespace

// The status query runs its own, older variant of the cycle: no install
// check, no message traces, and its result code passed on as it is.
long CVELTRAX_UpdateManager::GetQmxStatus(IWbemClassObject*, IWbemClassObject*) {
  COperationTrace objTrace(kStatusSignature);
  CTraceUtility::WriteDebug(kTraceName, TRACE_FUNCTION, "[ENTER] %s",
                            kStatusSignature);
  COpenLinkScope objLink(this);
  long lResult = OpenLink(objTrace, &objLink);
  if (lResult != kResultSuccess) return lResult;

  char szSendMessage[256];
  snprintf(szSendMessage, sizeof(szSendMessage), "%04d%s%s", 0, kStatusKind,
           message::kSuccessCode);
  std::string strReceiveMessage;
  lResult = Exchange(objTrace, &objLink, szSendMessage, &strReceiveMessage,
                     kStatusFailureTexts);
  if (lResult != kResultSuccess) return lResult;

  if (strReceiveMessage.size() < message::kHeaderLength) {
    objTrace.Write(TRACE_ERROR, "Message length error (exp=%d, res=%d)",
                   static_cast<int>(message::kHeaderLength),
                   static_cast<int>(strReceiveMessage.size()));
    return kResultFailed;
  }
  std::string strKind = message::KindOf(strReceiveMessage);
  if (strKind != kStatusKind) {
    objTrace.Write(TRACE_ERROR, "Message kind error (%s)", strKind.c_str());
    return kResultFailed;
  }
  std::string strResultCode = message::CodeOf(strReceiveMessage);
  // The received code is text, never a format.
  std::string strLeave =
      std::string("[LEAVE] ") + kStatusSignature + ", rc=" + strResultCode;
  CTraceUtility::WriteDebug(kTraceName, TRACE_FUNCTION, "%s", strLeave.c_str());
  return message::CodeValue(strResultCode);
}

long CVELTRAX_UpdateManager::ExecuteReboot(IWbemClassObject*, IWbemClassObject*) {
  CRequestCycle objCycle("CVELTRAX_UpdateManager::ExecuteReboot()", "exreboot",
                         EReplyLength::kHeaderOnly);
  return RunRequestCycle(&objCycle);
}
