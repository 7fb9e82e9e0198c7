#include "provider/OperationTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/utility.h"

const std::string kTraceName = "umprovider";

void COperationTrace::Write(int nLevel, const char* pszFormat, ...) const {
  if (strchr(pszFormat, '%') == nullptr) {
    CTraceUtility::WriteDebug(kTraceName, nLevel, "%s %s", m_pszPrefix,
                              pszFormat);
    return;
  }
  va_list args;
  va_start(args, pszFormat);
  va_list argsAgain;
  va_copy(argsAgain, args);
  char szSmall[512];
  int nLength = vsnprintf(szSmall, sizeof(szSmall), pszFormat, args);
  va_end(args);
  if (nLength < 0) {
    va_end(argsAgain);
    return;
  }
  if (static_cast<size_t>(nLength) < sizeof(szSmall)) {
    va_end(argsAgain);
    CTraceUtility::WriteDebug(kTraceName, nLevel, "%s %s", m_pszPrefix, szSmall);
    return;
  }
  // Messages and replies of up to 4 MiB are traced whole.
  std::string strText(static_cast<size_t>(nLength) + 1, '\0');
  vsnprintf(&strText[0], strText.size(), pszFormat, argsAgain);
  va_end(argsAgain);
  strText.resize(static_cast<size_t>(nLength));
  CTraceUtility::WriteDebug(kTraceName, nLevel, "%s %s", m_pszPrefix,
                            strText.c_str());
}

void COperationTrace::WriteValue(int nLevel, const char* pszName,
                                 const char* pszValue) const {
  CTraceUtility::WriteDebug(kTraceName, nLevel, "%s %s = %s", m_pszPrefix,
                            pszName, pszValue);
}

void COperationTrace::Start() const { Write(TRACE_FUNCTION, "[START]"); }

void COperationTrace::End() const { Write(TRACE_FUNCTION, "[END]"); }
