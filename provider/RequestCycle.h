// What one operation gives the shared request cycle: its trace prefix, its
// message kind, its reply-length rule, how it builds its parameter list and
// how it reads the reply body. Everything else of a cycle is common.

#ifndef QMX_PROVIDER_REQUESTCYCLE_H_
#define QMX_PROVIDER_REQUESTCYCLE_H_

#include <string>

#include "provider/OperationTrace.h"

class CSocketClient;
class CVELTRAX_UpdateManager;

enum class EReplyLength {
  kHeaderOnly,  // exactly the 16-character header
  kWithBody,    // more than the header
};

// What the link steps trace and return when the transfer fails; the status
// query words these its own way.
struct CLinkFailureTexts {
  const char* pszSendFailed;
  const char* pszReceiveFailed;
  long lReceiveFailedResult;
};

// Holds the link of the cycle that opened it. Close() ends it at its place
// in the cycle; an exception that unwinds past it closes it too, so a
// failed cycle never leaves the link held and the provider refusing every
// later call. It closes only its own client: once that is gone, a link
// another cycle has claimed since is that cycle's. That close writes no
// trace: a second exception thrown while the first unwinds would end the
// host process, and the dispatcher traces the first.
class COpenLinkScope {
 public:
  explicit COpenLinkScope(CVELTRAX_UpdateManager* pProvider)
      : m_pProvider(pProvider) {}
  ~COpenLinkScope() noexcept;
  COpenLinkScope(const COpenLinkScope&) = delete;
  COpenLinkScope& operator=(const COpenLinkScope&) = delete;

  // The client this cycle opened the link with.
  void Hold(CSocketClient* pClient) { m_pClient = pClient; }
  void Close();

 private:
  CVELTRAX_UpdateManager* m_pProvider;
  CSocketClient* m_pClient = nullptr;  // null once closed
};

// What one operation gives the shared request cycle
// (CVELTRAX_UpdateManager::RunRequestCycle): its trace prefix, its message
// kind and its reply-length rule, and, where it has them, how it builds its
// parameter list, when it lets go of its input and how it reads the reply
// body. Everything else of a cycle is common.
class CRequestCycle {
 public:
  CRequestCycle(const char* pszPrefix, const char* pszKind,
                EReplyLength eReplyLength)
      : m_objTrace(pszPrefix), m_pszKind(pszKind), m_eReplyLength(eReplyLength) {}
  virtual ~CRequestCycle() = default;
  CRequestCycle(const CRequestCycle&) = delete;
  CRequestCycle& operator=(const CRequestCycle&) = delete;

  const COperationTrace& GetTrace() const { return m_objTrace; }
  const char* GetKind() const { return m_pszKind; }
  EReplyLength GetReplyLength() const { return m_eReplyLength; }

  // Reads the input and builds the parameter list before the link opens;
  // returns 0 or the result code to end with. By default the list is empty.
  virtual long BuildList(std::string* /*pstrList*/) { return 0; }
  // The service has taken the request: lets go of the input objects that
  // BuildList read, before "[END]". On every other path they go with the
  // cycle.
  virtual void ReleaseInput() {}
  // Reads the body of a reply of the kind that has one into output
  // parameters; false ends the cycle with kResultFailed (the reader traces
  // why).
  virtual bool ReadBody(std::string /*strBody*/) { return true; }

 private:
  COperationTrace m_objTrace;
  const char* m_pszKind;
  EReplyLength m_eReplyLength;
};

#endif  // QMX_PROVIDER_REQUESTCYCLE_H_
