// Trace lines of one provider operation: every text starts with the
// operation's prefix ("CVELTRAX_UpdateManager::DownloadAll()") and a blank,
// and goes out under the trace name "umprovider".

#ifndef QMX_PROVIDER_OPERATIONTRACE_H_
#define QMX_PROVIDER_OPERATIONTRACE_H_

#include <string>

// A string rather than characters: every trace call takes the name as a
// string, and the provider makes some thirty calls a method.
extern const std::string kTraceName;

class COperationTrace {
 public:
  explicit COperationTrace(const char* pszPrefix) : m_pszPrefix(pszPrefix) {}

  const char* GetPrefix() const { return m_pszPrefix; }

  // A text without conversions reaches the host as it is, so that a masked
  // level costs nothing here; the texts with values are errors, which
  // every level mask takes.
  void Write(int nLevel, const char* pszFormat, ...) const
      __attribute__((format(printf, 3, 4)));
  // "<name> = <value>": the messages and values of a cycle, often long and
  // written on every call at full detail, formatted once.
  void WriteValue(int nLevel, const char* pszName, const char* pszValue) const;

  // Frequent lines with a fixed text.
  void Start() const;
  void End() const;

 private:
  const char* m_pszPrefix;
};

#endif  // QMX_PROVIDER_OPERATIONTRACE_H_
