#include "provider/OperationTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "host/utility.h"

const std::string kTraceName = "umprovider";

void OperationTrace::Write(int level, const char* format, ...) const {
  if (strchr(format, '%') == nullptr) {
    CTraceUtility::WriteDebug(kTraceName, level, "%s %s", m_prefix, format);
    return;
  }
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int length = vsnprintf(small, sizeof(small), format, args);
  va_end(args);
  if (length < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(length) < sizeof(small)) {
    va_end(copy);
    CTraceUtility::WriteDebug(kTraceName, level, "%s %s", m_prefix, small);
    return;
  }
  // Messages and replies of up to 4 MiB are traced whole.
  std::string text(static_cast<size_t>(length) + 1, '\0');
  vsnprintf(&text[0], text.size(), format, copy);
  va_end(copy);
  text.resize(static_cast<size_t>(length));
  CTraceUtility::WriteDebug(kTraceName, level, "%s %s", m_prefix, text.c_str());
}

void OperationTrace::WriteValue(int level, const char* name,
                                const char* value) const {
  CTraceUtility::WriteDebug(kTraceName, level, "%s %s = %s", m_prefix, name,
                            value);
}

void OperationTrace::Start() const { Write(TRACE_FUNCTION, "[START]"); }

void OperationTrace::End() const { Write(TRACE_FUNCTION, "[END]"); }
