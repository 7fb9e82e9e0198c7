// The request cycle every operation runs, the install check and the reply
// splitter.

#include "provider/RequestCycle.h"

#include <utility>

#include "host/utility.h"
#include "link/MessageFormat.h"
#include "provider/UpdateManager.h"

namespace {

const char kPackageName[] = "qmxupdtmngr";

const LinkFailureTexts kCycleFailureTexts = {
    "SendMessage is failed", "ReceiveMessage is failed", kResultTransferFailed};

// "@@@@" back to ";". Most items hold none, and looking is cheaper than
// replacing.
void Unescape(std::string* item) {
  if (item->find(message::kEscapedSeparator) == std::string::npos) return;
  CStringUtil::strReplace(*item, message::kEscapedSeparator,
                          message::kSeparator);
}

bool LengthAccepted(ReplyLength rule, size_t length) {
  if (rule == ReplyLength::kHeaderOnly) return length == message::kHeaderLength;
  return length > message::kHeaderLength;
}

}  // namespace

OpenLinkScope::~OpenLinkScope() {
  if (m_open) m_provider->SocketClientDeinitialize();
}

void OpenLinkScope::Close() {
  m_open = false;
  m_provider->SocketClientDeinitialize();
}

bool CVELTRAX_UpdateManager::CheckUmInstall() {
  OperationTrace trace("CVELTRAX_UpdateManager::CheckUmInstall()");
  trace.Start();
  std::string version = CStringUtil::StringToTstring(
      CFileUtility::GetPackageVersion(kPackageName));
  bool installed = !version.empty();
  if (installed) {
    CTraceUtility::WriteDebug(GetProviderName(), TRACE_DETAIL,
                              "%s updatemanager install version:[%s]",
                              trace.prefix(), version.c_str());
  } else {
    CTraceUtility::WriteDebug(
        GetProviderName(), TRACE_WARNING,
        "%s updatemanager not installed. package version is empty.",
        trace.prefix());
  }
  trace.End();
  return installed;
}

std::list<std::string> CVELTRAX_UpdateManager::GetParameter(
    std::string strParameter) {
  OperationTrace trace("CVELTRAX_UpdateManager::GetParameter()");
  trace.Start();
  std::list<std::string> items;
  // One pass over the text: a bad reply of nothing but separators must not
  // cost more than its length.
  size_t begin = 0;
  for (size_t end = strParameter.find(';'); end != std::string::npos;
       end = strParameter.find(';', begin)) {
    items.emplace_back(strParameter, begin, end - begin);
    trace.WriteValue(TRACE_DETAIL, "Param", items.back().c_str());
    Unescape(&items.back());
    begin = end + 1;
  }
  items.emplace_back(strParameter, begin);
  Unescape(&items.back());
  trace.WriteValue(TRACE_DETAIL, "Param", items.back().c_str());
  trace.End();
  return items;
}

long CVELTRAX_UpdateManager::OpenLink(const OperationTrace& trace) {
  long socketCompetition = 0;
  if (SocketClientInitialize(&socketCompetition)) return kResultSuccess;
  trace.Write(TRACE_ERROR, "SocketClientInitialize is failed");
  // A link held by another cycle is that cycle's to close.
  if (socketCompetition == 1) return kResultLinkInUse;
  SocketClientDeinitialize();
  return kResultFailed;
}

long CVELTRAX_UpdateManager::Exchange(const OperationTrace& trace,
                                      OpenLinkScope* link,
                                      const std::string& request,
                                      std::string* reply,
                                      const LinkFailureTexts& texts) {
  if (!SendMessage(request)) {
    link->Close();
    trace.Write(TRACE_ERROR, "%s", texts.sendFailed);
    return kResultTransferFailed;
  }
  bool received = ReceiveMessage(reply);
  link->Close();
  if (!received) {
    trace.Write(TRACE_ERROR, "%s", texts.receiveFailed);
    return texts.receiveFailedResult;
  }
  return kResultSuccess;
}

long CVELTRAX_UpdateManager::RunRequestCycle(const RequestCycle& cycle) {
  const OperationTrace& trace = cycle.trace;
  trace.Start();
  if (!CheckUmInstall()) {
    trace.Write(TRACE_WARNING, "CheckUmInstall false");
    return kResultNotInstalled;
  }

  std::string list;
  if (cycle.buildList) {
    long built = cycle.buildList(&list);
    if (built != kResultSuccess) return built;
  }
  // The four-digit length field cannot state a longer list, and a header it
  // does not fit would shift every field the service reads.
  size_t wireLength = message::WireLength(list);
  if (wireLength > message::kMaxListLength) {
    trace.Write(TRACE_ERROR, "ParamList length error %lu",
                static_cast<unsigned long>(wireLength));
    return kResultFailed;
  }

  long result = OpenLink(trace);
  if (result != kResultSuccess) return result;
  OpenLinkScope link(this);
  std::string request = message::BuildRequest(cycle.kind, list);
  trace.WriteValue(TRACE_DETAIL, "strSendMessage", request.c_str());
  CTraceUtility::WriteTrace(kTraceName, "MSGID_CP_0005_S", cycle.kind);

  std::string reply;
  result = Exchange(trace, &link, request, &reply, kCycleFailureTexts);
  if (result != kResultSuccess) return result;
  trace.Write(TRACE_DETAIL, "ReceiveMessage is succeeded");
  trace.WriteValue(TRACE_DETAIL, "strReceiveMessage", reply.c_str());

  if (!LengthAccepted(cycle.replyLength, reply.size())) {
    trace.Write(TRACE_ERROR, "ReceiveMessage length error");
    return kResultFailed;
  }
  if (message::KindOf(reply) != cycle.kind) {
    trace.Write(TRACE_ERROR, "MessageKind different");
    return kResultFailed;
  }
  std::string code = message::CodeOf(reply);
  if (code != message::kSuccessCode) {
    CTraceUtility::WriteTrace(kTraceName, "MSGID_CP_0006_F", cycle.kind,
                              code.c_str());
    return message::CodeValue(code);
  }
  CTraceUtility::WriteTrace(kTraceName, "MSGID_CP_0006_S", cycle.kind,
                            code.c_str());
  if (cycle.readBody && !cycle.readBody(message::BodyOf(reply))) {
    return kResultFailed;
  }
  trace.End();
  return kResultSuccess;
}
