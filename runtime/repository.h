// The class repository of our host runtime: classes read from MOF files and
// served through IWbemServices, plus the host-side objects a tool needs to
// make a call (a call context and a sink that records what it receives).

#ifndef QMX_RUNTIME_REPOSITORY_H_
#define QMX_RUNTIME_REPOSITORY_H_

#include <string>
#include <vector>

#include "host/wbem.h"

#pragma GCC visibility push(default)

namespace qmx {

// Reads the MOF files in order (a class may name a superclass from an
// earlier file or earlier in the same file) and returns a services object
// holding one reference, or null with *error set to "<file>:<line>: <reason>".
IWbemServices* LoadRepository(const std::vector<std::string>& mofPaths,
                              std::string* error);

// The same from MOF text already in memory; fileName only labels errors.
IWbemServices* LoadRepositoryFromText(const std::string& mofText,
                                      const std::string& fileName,
                                      std::string* error);

// A call context with one reference.
IWbemContext* CreateContext();

// A sink that keeps what a call delivers. Indicate takes a reference to each
// object; the sink releases them when it is destroyed. SetStatus keeps only
// the status that ends a call (flags 0, no parameter, no object): this host
// shows no progress reports, and refuses them.
class RecordingSink : public IWbemObjectSink {
 public:
  RecordingSink();
  RecordingSink(const RecordingSink&) = delete;
  RecordingSink& operator=(const RecordingSink&) = delete;

  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT Indicate(long count, IWbemClassObject** objects) override;
  HRESULT SetStatus(long flags, HRESULT result, BSTR param,
                    IWbemClassObject* errorObject) override;

  const std::vector<IWbemClassObject*>& Indicated() const { return m_indicated; }
  const std::vector<HRESULT>& Statuses() const { return m_statuses; }

  // Lives on the stack of its host; the reference count only guards misuse.
  ~RecordingSink() override;

 private:
  ULONG m_refs;
  std::vector<IWbemClassObject*> m_indicated;
  std::vector<HRESULT> m_statuses;
};

}  // namespace qmx

#pragma GCC visibility pop

#endif  // QMX_RUNTIME_REPOSITORY_H_
