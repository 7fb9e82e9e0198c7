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
  va_list vaArgs;
  va_start(vaArgs, pszFormat);
  va_list vaArgsAgain;
  va_copy(vaArgsAgain, vaArgs);
  char szSmall[512];
  int nLength = vsnprintf(szSmall, sizeof(szSmall), pszFormat, vaArgs);
  va_end(vaArgs);
  if (nLength < 0) {
    va_end(vaArgsAgain);
    return;
  }
  if (static_cast<size_t>(nLength) < sizeof(szSmall)) {
    va_end(vaArgsAgain);
    CTraceUtility::WriteDebug(kTraceName, nLevel, "%s %s", m_pszPrefix, szSmall);
    return;
  }
  // Messages and replies of up to 4 MiB are traced whole.
  std::string strText(static_cast<size_t>(nLength) + 1, '\0');
  vsnprintf(&strText[0], strText.size(), pszFormat, vaArgsAgain);
  va_end(vaArgsAgain);
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
