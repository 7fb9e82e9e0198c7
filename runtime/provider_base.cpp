// The base classes every provider derives from.

#include "host/provider_base.h"

#include <strings.h>

#include <cstdint>
#include <utility>

#include "host/utility.h"

namespace {

// The GetProviderVersion failure, the same 32-bit pattern on every build.
const long kVersionWriteFailed = static_cast<long>(UINT32_C(0x80000001));

thread_local bool t_servingProviderCall = false;

bool DeclaresProperty(IWbemClassObject* object, const std::string& name) {
  for (const std::string& property : object->GetPropertyNames()) {
    if (strcasecmp(property.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

}  // namespace

CVELTRAX_ServerService::CVELTRAX_ServerService(std::string traceName,
                                               std::string vendor,
                                               std::string version)
    : m_strTraceName(std::move(traceName)),
      m_strVendor(std::move(vendor)),
      m_strVersion(std::move(version)),
      m_pServices(nullptr) {}

CVELTRAX_ServerService::~CVELTRAX_ServerService() {
  if (m_pServices != nullptr) m_pServices->Release();
}

HRESULT CVELTRAX_ServerService::ExecMethodAsync(char*, char*, long,
                                                IWbemContext*,
                                                IWbemClassObject*,
                                                IWbemObjectSink* sink) {
  if (sink != nullptr) {
    sink->SetStatus(0, WBEM_E_METHOD_NOT_IMPLEMENTED, nullptr, nullptr);
  }
  return WBEM_E_METHOD_NOT_IMPLEMENTED;
}

void CVELTRAX_ServerService::SetServices(IWbemServices* services) {
  // AddRef first: the same object may be handed over again.
  if (services != nullptr) services->AddRef();
  if (m_pServices != nullptr) m_pServices->Release();
  m_pServices = services;
}

std::string CVELTRAX_ServerService::GetProviderName() const {
  return m_strTraceName;
}

std::string CVELTRAX_ServerService::GetVendor() const { return m_strVendor; }

std::string CVELTRAX_ServerService::GetVersion() const { return m_strVersion; }

long CVELTRAX_ServerService::GetProviderVersion(IWbemClassObject*,
                                                IWbemClassObject* outParams) {
  if (outParams == nullptr) return kVersionWriteFailed;
  if (!DeclaresProperty(outParams, "Version")) return 0;
  HRESULT status = CIWbemUtil::setStringToIWbemClassObject(
      outParams, "Version", m_strVersion);
  return FAILED(status) ? kVersionWriteFailed : 0;
}

void CVELTRAX_ServerService::writeDLLFileVersionLog(std::string moduleName) {
  CTraceUtility::WriteDebug(m_strTraceName, TRACE_FUNCTION, "%s version %s",
                            moduleName.c_str(), m_strVersion.c_str());
}

CVELTRAX_SysService::CVELTRAX_SysService(std::string traceName,
                                         std::string vendor,
                                         std::string version)
    : CVELTRAX_ServerService(std::move(traceName), std::move(vendor),
                             std::move(version)) {}

CVELTRAX_SysService::~CVELTRAX_SysService() = default;

void QmxException::set_transrator() { t_servingProviderCall = true; }
