// The request cycle every operation runs, the install check and the reply
// splitter.

#include "provider/RequestCycle.h"

#include <algorithm>
#include <utility>

#include "host/utility.h"
#include "link/MessageFormat.h"
#include "provider/UpdateManager.h"

namespace {

const char kPackageName[] = "qmxupdtmngr";

const CLinkFailureTexts kCycleFailureTexts = {
    "SendMessage is failed", "ReceiveMessage is failed", kResultTransferFailed};

// "@@@@" back to ";". Most items hold none, and looking is cheaper than
// replacing.
void Unescape(std::string* pstrItem) {
  if (pstrItem->find(message::kEscapedSeparator) == std::string::npos) return;
  CStringUtil::strReplace(*pstrItem, message::kEscapedSeparator,
                          message::kSeparator);
}

// A bare header of the kind with a failure code, where a body was due, is
// how a service that does not know the kind (an older one) refuses it: the
// call still fails on the length, but the trace keeps the service's code.
void TraceRefusal(const char* pszKind, const std::string& strReply) {
  if (strReply.size() != message::kHeaderLength || message::KindOf(strReply) != pszKind ||
      message::CodeOf(strReply) == message::kSuccessCode) {
    return;
  }
  CTraceUtility::WriteTrace(kTraceName, "MSGID_CP_0006_F", pszKind,
                            message::CodeOf(strReply).c_str());
}

bool LengthAccepted(EReplyLength eRule, size_t nLength) {
  if (eRule == EReplyLength::kHeaderOnly) {
    return nLength == message::kHeaderLength;
  }
  return nLength > message::kHeaderLength;
}

}  // namespace

COpenLinkScope::~COpenLinkScope() noexcept { m_pProvider->CloseLink(&m_pClient); }

void COpenLinkScope::Close() { m_pProvider->DeinitializeLink(&m_pClient); }

bool CVELTRAX_UpdateManager::CheckUmInstall() {
  COperationTrace objTrace("CVELTRAX_UpdateManager::CheckUmInstall()");
  objTrace.Start();
  std::string strVersion = CStringUtil::StringToTstring(
      CFileUtility::GetPackageVersion(kPackageName));
  bool bInstalled = !strVersion.empty();
  if (bInstalled) {
    CTraceUtility::WriteDebug(GetProviderName(), TRACE_DETAIL,
                              "%s updatemanager install version:[%s]",
                              objTrace.GetPrefix(), strVersion.c_str());
  } else {
    CTraceUtility::WriteDebug(
        GetProviderName(), TRACE_WARNING,
        "%s updatemanager not installed. package version is empty.",
        objTrace.GetPrefix());
  }
  objTrace.End();
  return bInstalled;
}

std::list<std::string> CVELTRAX_UpdateManager::GetParameter(
    std::string strParameter) {
  std::list<std::string> lstItems;
  SplitParameter(strParameter, &lstItems);
  return lstItems;
}

// The items go into one block instead of a list node each: a reply's few
// values then cost one allocation, not one per value.
bool CVELTRAX_UpdateManager::GetParameterOf(std::string strParameter,
                                            size_t nItems,
                                            std::vector<std::string>* pvecItems) {
  size_t nFound = 1 + static_cast<size_t>(std::count(
                          strParameter.begin(), strParameter.end(), ';'));
  bool bKept = nFound == nItems;
  if (bKept) pvecItems->reserve(nItems);
  SplitParameter(strParameter, bKept ? pvecItems : nullptr);
  return bKept;
}

template <typename TItems>
void CVELTRAX_UpdateManager::SplitParameter(const std::string& strParameter,
                                            TItems* pItems) {
  COperationTrace objTrace("CVELTRAX_UpdateManager::GetParameter()");
  objTrace.Start();
  // Items not kept pass through one string, whose memory is reused.
  std::string strDropped;
  auto Take = [&](size_t nBegin, size_t nLength) -> std::string& {
    if (pItems == nullptr) return strDropped.assign(strParameter, nBegin, nLength);
    pItems->emplace_back(strParameter, nBegin, nLength);
    return pItems->back();
  };
  // One pass over the text: a bad reply of nothing but separators must not
  // cost more than its length.
  size_t nBegin = 0;
  for (size_t nEnd = strParameter.find(';'); nEnd != std::string::npos;
       nEnd = strParameter.find(';', nBegin)) {
    std::string& strItem = Take(nBegin, nEnd - nBegin);
    objTrace.WriteValue(TRACE_DETAIL, "Param", strItem.c_str());
    Unescape(&strItem);
    nBegin = nEnd + 1;
  }
  std::string& strLast = Take(nBegin, std::string::npos);
  Unescape(&strLast);
  objTrace.WriteValue(TRACE_DETAIL, "Param", strLast.c_str());
  objTrace.End();
}

long CVELTRAX_UpdateManager::OpenLink(const COperationTrace& objTrace,
                                      COpenLinkScope* pLink) {
  long lSocketCompetition = 0;
  bool bOpened = SocketClientInitialize(&lSocketCompetition);
  // A link held by another cycle is that cycle's to close; one of ours is
  // guarded before anything else can throw.
  if (lSocketCompetition != 1) pLink->Hold(m_pSocketClient.load());
  if (bOpened) return kResultSuccess;
  objTrace.Write(TRACE_ERROR, "SocketClientInitialize is failed");
  if (lSocketCompetition == 1) return kResultLinkInUse;
  pLink->Close();
  return kResultFailed;
}

long CVELTRAX_UpdateManager::Exchange(const COperationTrace& objTrace,
                                      COpenLinkScope* pLink,
                                      std::string strSendMessage,
                                      std::string* pstrReceiveMessage,
                                      const CLinkFailureTexts& objTexts) {
  if (!SendMessage(std::move(strSendMessage))) {
    pLink->Close();
    objTrace.Write(TRACE_ERROR, "%s", objTexts.pszSendFailed);
    return kResultTransferFailed;
  }
  bool bReceived = ReceiveMessage(pstrReceiveMessage);
  pLink->Close();
  if (!bReceived) {
    objTrace.Write(TRACE_ERROR, "%s", objTexts.pszReceiveFailed);
    return objTexts.lReceiveFailedResult;
  }
  return kResultSuccess;
}

long CVELTRAX_UpdateManager::RunRequestCycle(CRequestCycle* pCycle) {
  const COperationTrace& objTrace = pCycle->GetTrace();
  const char* pszKind = pCycle->GetKind();
  objTrace.Start();
  if (!CheckUmInstall()) {
    objTrace.Write(TRACE_WARNING, "CheckUmInstall false");
    return kResultNotInstalled;
  }

  std::string strList;
  long lResult = pCycle->BuildList(&strList);
  if (lResult != kResultSuccess) return lResult;
  // The four-digit length field cannot state a longer list, and a header it
  // does not fit would shift every field the service reads.
  size_t nWireLength = message::WireLength(strList);
  if (nWireLength > message::kMaxListLength) {
    objTrace.Write(TRACE_ERROR, "ParamList length error %lu",
                   static_cast<unsigned long>(nWireLength));
    return kResultFailed;
  }

  COpenLinkScope objLink(this);
  lResult = OpenLink(objTrace, &objLink);
  if (lResult != kResultSuccess) return lResult;
  std::string strSendMessage = message::BuildRequest(pszKind, strList);
  objTrace.WriteValue(TRACE_DETAIL, "strSendMessage", strSendMessage.c_str());
  CTraceUtility::WriteTrace(kTraceName, "MSGID_CP_0005_S", pszKind);

  std::string strReceiveMessage;
  lResult = Exchange(objTrace, &objLink, std::move(strSendMessage),
                     &strReceiveMessage, kCycleFailureTexts);
  if (lResult != kResultSuccess) return lResult;
  objTrace.Write(TRACE_DETAIL, "ReceiveMessage is succeeded");
  objTrace.WriteValue(TRACE_DETAIL, "strReceiveMessage",
                      strReceiveMessage.c_str());

  if (!LengthAccepted(pCycle->GetReplyLength(), strReceiveMessage.size())) {
    objTrace.Write(TRACE_ERROR, "ReceiveMessage length error");
    TraceRefusal(pszKind, strReceiveMessage);
    return kResultFailed;
  }
  if (message::KindOf(strReceiveMessage) != pszKind) {
    objTrace.Write(TRACE_ERROR, "MessageKind different");
    return kResultFailed;
  }
  std::string strResultCode = message::CodeOf(strReceiveMessage);
  if (strResultCode != message::kSuccessCode) {
    CTraceUtility::WriteTrace(kTraceName, "MSGID_CP_0006_F", pszKind,
                              strResultCode.c_str());
    return message::CodeValue(strResultCode);
  }
  CTraceUtility::WriteTrace(kTraceName, "MSGID_CP_0006_S", pszKind,
                            strResultCode.c_str());
  pCycle->ReleaseInput();
  if (pCycle->GetReplyLength() == EReplyLength::kWithBody) {
    // The reply's own text becomes the body: a reply of megabytes is not
    // copied again.
    strReceiveMessage.erase(0, message::kHeaderLength);
    if (!pCycle->ReadBody(std::move(strReceiveMessage))) return kResultFailed;
  }
  objTrace.End();
  return kResultSuccess;
}
