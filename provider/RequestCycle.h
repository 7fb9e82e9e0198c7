// What one operation gives the shared request cycle: its trace prefix, its
// message kind, its reply-length rule, how it builds its parameter list and
// how it reads the reply body. Everything else of a cycle is common.

#ifndef QMX_PROVIDER_REQUESTCYCLE_H_
#define QMX_PROVIDER_REQUESTCYCLE_H_

#include <functional>
#include <string>

#include "provider/OperationTrace.h"

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

// Holds an open link for the cycle that opened it. Close() ends it at its
// place in the cycle; an exception that unwinds past it closes it too, so a
// failed cycle never leaves the link held and the provider refusing every
// later call.
class COpenLinkScope {
 public:
  explicit COpenLinkScope(CVELTRAX_UpdateManager* pProvider)
      : m_pProvider(pProvider) {}
  ~COpenLinkScope();
  COpenLinkScope(const COpenLinkScope&) = delete;
  COpenLinkScope& operator=(const COpenLinkScope&) = delete;

  void Close();

 private:
  CVELTRAX_UpdateManager* m_pProvider;
  bool m_bOpen = true;
};

struct CRequestCycle {
  COperationTrace objTrace;
  const char* pszKind;
  EReplyLength eReplyLength;
  // Reads the input and builds the parameter list before the link opens;
  // returns 0 or the result code to end with. Empty: an empty list.
  std::function<long(std::string* pstrList)> fnBuildList;
  // Reads the reply body into output parameters; false ends the cycle with
  // kResultFailed (the reader traces why). Empty: the reply has no body.
  std::function<bool(std::string strBody)> fnReadBody;
};

#endif  // QMX_PROVIDER_REQUESTCYCLE_H_
