// The base classes the host framework gives every provider, and the
// framework's exception translator.

#ifndef QMX_HOST_PROVIDER_BASE_H_
#define QMX_HOST_PROVIDER_BASE_H_

#include <string>

#include "host/wbem.h"

#pragma GCC visibility push(default)

// Base of every provider: holds the provider's trace name, vendor and version
// and the services object the host hands over after create, and serves the
// methods that a provider passes on.
class CVELTRAX_ServerService {
 public:
  CVELTRAX_ServerService(std::string traceName, std::string vendor,
                         std::string version);
  virtual ~CVELTRAX_ServerService();

  // Serves a method the provider does not: reports WBEM_E_METHOD_NOT_IMPLEMENTED
  // to the sink and returns it.
  virtual HRESULT ExecMethodAsync(char* objectPath, char* methodName,
                                  long flags, IWbemContext* context,
                                  IWbemClassObject* inParams,
                                  IWbemObjectSink* sink);

  // The host calls this once after create, before the first method call.
  // The provider keeps a reference until it is deleted.
  void SetServices(IWbemServices* services);
  IWbemServices* GetServices() const { return m_pServices; }

  std::string GetProviderName() const;
  std::string GetVendor() const;
  std::string GetVersion() const;

  // Writes the provider version into the output parameter "Version" when the
  // output class declares it; returns 0, or 0x80000001 when that write fails.
  long GetProviderVersion(IWbemClassObject* inParams,
                          IWbemClassObject* outParams);

  // One trace line under the provider's trace name naming the module and
  // the provider version.
  void writeDLLFileVersionLog(std::string moduleName);

 private:
  std::string m_strTraceName;
  std::string m_strVendor;
  std::string m_strVersion;
  IWbemServices* m_pServices;
};

class CVELTRAX_SysService : public CVELTRAX_ServerService {
 public:
  CVELTRAX_SysService(std::string traceName, std::string vendor,
                      std::string version);
  ~CVELTRAX_SysService() override;
};

class QmxException {
 public:
  // Installs the framework's exception translator for the calling thread.
  // C++ exceptions need no translation on this platform, so it only marks
  // the thread as serving a provider call.
  static void set_transrator();
};

// Every provider library exports one factory with this signature under the
// unmangled name "create"; the host deletes what it returns.
extern "C" typedef CVELTRAX_ServerService* (*ProviderFactory)();

#pragma GCC visibility pop

#endif  // QMX_HOST_PROVIDER_BASE_H_
