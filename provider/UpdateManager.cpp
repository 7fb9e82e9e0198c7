// The provider object: its factory, its life, and the dispatch of a method
// call to the operation that serves it.

#include "provider/UpdateManager.h"

#include <cstring>
#include <exception>
#include <string>

#include "host/utility.h"
#include "link/CSocketClient.h"
#include "provider/OperationTrace.h"

namespace {

const char kClassName[] = "VELTRAX_UpdateManager";
const char kDispatchPrefix[] = "CVELTRAX_UpdateManager::ExecMethodAsync()";
const HRESULT kStatusNoClass = WBEM_E_NOT_SUPPORTED;
const HRESULT kStatusException = WBEM_E_FAILED;
const HRESULT kNoMethod = static_cast<int32_t>(0x80000001u);

using Operation = long (CVELTRAX_UpdateManager::*)(IWbemClassObject*,
                                                    IWbemClassObject*);

// One served method. The host's own version method is compared the host's
// way; every other name must match byte for byte.
struct MethodEntry {
  const char* name;
  Operation operation;
  bool hostCompare;
};

// Compared in this order; the first match serves the call.
const MethodEntry kMethods[] = {
    {"GetAutoDownloadSetting", &CVELTRAX_UpdateManager::GetAutoDownloadSetting, false},
    {"SetAutoDownloadSetting", &CVELTRAX_UpdateManager::SetAutoDownloadSetting, false},
    {"DownloadAll", &CVELTRAX_UpdateManager::DownloadAll, false},
    {"GetAutoUpdateSetting", &CVELTRAX_UpdateManager::GetAutoUpdateSetting, false},
    {"SetAutoUpdateSetting", &CVELTRAX_UpdateManager::SetAutoUpdateSetting, false},
    {"UpdateAll", &CVELTRAX_UpdateManager::UpdateAll, false},
    {"RollbackAll", &CVELTRAX_UpdateManager::RollbackAll, false},
    {"NoticeModuleUpdate", &CVELTRAX_UpdateManager::NoticeModuleUpdate, false},
    {"ExecuteReboot", &CVELTRAX_UpdateManager::ExecuteReboot, false},
    {"GetProviderVersion", &CVELTRAX_UpdateManager::GetProviderVersion, true},
    {"GetQmxStatus", &CVELTRAX_UpdateManager::GetQmxStatus, false},
};

bool Matches(const MethodEntry& entry, const char* methodName) {
  if (entry.hostCompare) return lstrcmpW(entry.name, methodName) == 0;
  return strcmp(entry.name, methodName) == 0;
}

const MethodEntry* FindMethod(const char* methodName) {
  for (const MethodEntry& entry : kMethods) {
    if (Matches(entry, methodName)) return &entry;
  }
  return nullptr;
}

void Release(IWbemClassObject* object) {
  if (object != nullptr) object->Release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CVELTRAX_ServerService*
create() {
  return new CVELTRAX_UpdateManager();
}

CVELTRAX_UpdateManager::CVELTRAX_UpdateManager()
    : CVELTRAX_SysService("umprovider", "veltrax", "42.0"),
      m_pSocketClient(nullptr) {
  OperationTrace trace("CVELTRAX_UpdateManager::CVELTRAX_UpdateManager()");
  trace.Start();
  m_pSocketClient = nullptr;
  writeDLLFileVersionLog("Veltrax_UpdateManager.dll");
  trace.End();
}

CVELTRAX_UpdateManager::~CVELTRAX_UpdateManager() = default;

HRESULT CVELTRAX_UpdateManager::ExecMethodAsync(
    char* objectPath, char* methodName, long flags, IWbemContext* context,
    IWbemClassObject* inParams, IWbemObjectSink* sink) {
  OperationTrace trace(kDispatchPrefix);
  trace.Start();
  long methodResult = 0;
  IWbemClassObject* pClass = nullptr;
  IWbemClassObject* pOutClass = nullptr;
  IWbemClassObject* pOutParams = nullptr;
  trace.WriteValue(TRACE_DETAIL, "MethodName", methodName);
  QmxException::set_transrator();

  BSTR className = SysAllocString(kClassName);
  if (GetServices() != nullptr) {
    GetServices()->GetObject(className, 0, context, &pClass, nullptr);
  }
  if (pClass == nullptr) {
    trace.Write(TRACE_ERROR, "pClass == NULL");
    SysFreeString(className);
    sink->SetStatus(0, kStatusNoClass, nullptr, nullptr);
    return kStatusNoClass;
  }
  HRESULT found = pClass->GetMethod(methodName, 0, nullptr, &pOutClass);
  if (FAILED(found)) {
    trace.Write(TRACE_ERROR, "GetMethod is failed %08x",
                static_cast<unsigned>(found));
    pClass->Release();
    SysFreeString(className);
    return kNoMethod;
  }
  if (pOutClass != nullptr) pOutClass->SpawnInstance(0, &pOutParams);

  HRESULT status = WBEM_S_NO_ERROR;
  bool caught = false;
  try {
    const MethodEntry* entry = FindMethod(methodName);
    if (entry == nullptr) {
      status = CVELTRAX_ServerService::ExecMethodAsync(
          objectPath, methodName, flags, context, inParams, sink);
    } else {
      methodResult = (this->*entry->operation)(inParams, pOutParams);
      CIWbemUtil::setReturnValueToIWbemClassObject(
          pOutParams, static_cast<uint32_t>(methodResult));
      sink->Indicate(1, &pOutParams);
    }
  } catch (const std::exception& error) {
    std::string what = CStringUtil::StringToTstring(error.what());
    CTraceUtility::WriteDebug(GetProviderName(), TRACE_EXCEPTION,
                              "%s [exception:%s]", kDispatchPrefix, what.c_str());
    caught = true;
  } catch (...) {
    CTraceUtility::WriteDebug(GetProviderName(), TRACE_EXCEPTION,
                              "%s unknown exception", kDispatchPrefix);
    caught = true;
  }
  if (caught) {
    // The caller still gets an instance: its return value says an exception
    // ended the operation.
    CIWbemUtil::setReturnValueToIWbemClassObject(
        pOutParams, static_cast<uint32_t>(kResultException));
    sink->Indicate(1, &pOutParams);
    status = kStatusException;
  }

  sink->SetStatus(0, status, nullptr, nullptr);
  Release(pOutParams);
  Release(pOutClass);
  Release(pClass);
  SysFreeString(className);
  CTraceUtility::WriteDebug(kTraceName, TRACE_DETAIL,
                            "CVELTRAX_UpdateManager::ExecMethodAsync mr=0x%08x",
                            static_cast<unsigned>(methodResult));
  if (status != WBEM_S_NO_ERROR) {
    CTraceUtility::WriteDebug(kTraceName, TRACE_ERROR,
                              "CVELTRAX_UpdateManager::ExecMethodAsync hr=0x%08x",
                              static_cast<unsigned>(status));
  }
  trace.End();
  return status;
}
