// The provider object: its factory, its life, and the dispatch of a method
// call to the operation that serves it.

#include "provider/UpdateManager.h"

#include <cstdint>
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

using PFN_OPERATION = long (CVELTRAX_UpdateManager::*)(IWbemClassObject*,
                                                        IWbemClassObject*);

// One served method. The host's own version method is compared the host's
// way; every other name must match byte for byte.
struct CMethodEntry {
  const char* pszName;
  PFN_OPERATION pfnOperation;
  bool bHostCompare;
};

// Compared in this order; the first match serves the call.
const CMethodEntry kMethods[] = {
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

bool Matches(const CMethodEntry& objEntry, const char* pszMethodName) {
  if (objEntry.bHostCompare) {
    return lstrcmpW(objEntry.pszName, pszMethodName) == 0;
  }
  return strcmp(objEntry.pszName, pszMethodName) == 0;
}

const CMethodEntry* FindMethod(const char* pszMethodName) {
  for (const CMethodEntry& objEntry : kMethods) {
    if (Matches(objEntry, pszMethodName)) return &objEntry;
  }
  return nullptr;
}

// A code as "%08x" shows it: the result line is written on every call at
// full detail, and a format call cost more than the rest of its line.
struct CHexCode {
  explicit CHexCode(uint32_t nCode) {
    for (int n = 7; n >= 0; --n, nCode >>= 4) szText[n] = "0123456789abcdef"[nCode & 0xf];
  }
  char szText[9] = "";
};

void Release(IWbemClassObject* pObject) {
  if (pObject != nullptr) pObject->Release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CVELTRAX_ServerService*
create() {
  return new CVELTRAX_UpdateManager();
}

CVELTRAX_UpdateManager::CVELTRAX_UpdateManager()
    : CVELTRAX_SysService("umprovider", "veltrax", "42.0"),
      m_pSocketClient(nullptr) {
  COperationTrace objTrace("CVELTRAX_UpdateManager::CVELTRAX_UpdateManager()");
  objTrace.Start();
  m_pSocketClient = nullptr;
  writeDLLFileVersionLog("Veltrax_UpdateManager.dll");
  objTrace.End();
}

CVELTRAX_UpdateManager::~CVELTRAX_UpdateManager() = default;

HRESULT CVELTRAX_UpdateManager::ExecMethodAsync(
    char* pszObjectPath, char* pszMethodName, long lFlags,
    IWbemContext* pContext, IWbemClassObject* pInParams,
    IWbemObjectSink* pSink) {
  COperationTrace objTrace(kDispatchPrefix);
  objTrace.Start();
  long lMethodResult = 0;
  IWbemClassObject* pClass = nullptr;
  IWbemClassObject* pOutClass = nullptr;
  IWbemClassObject* pOutParams = nullptr;
  objTrace.WriteValue(TRACE_DETAIL, "MethodName", pszMethodName);
  QmxException::set_transrator();

  BSTR bstrClassName = SysAllocString(kClassName);
  if (GetServices() != nullptr) {
    GetServices()->GetObject(bstrClassName, 0, pContext, &pClass, nullptr);
  }
  if (pClass == nullptr) {
    objTrace.Write(TRACE_ERROR, "pClass == NULL");
    SysFreeString(bstrClassName);
    pSink->SetStatus(0, kStatusNoClass, nullptr, nullptr);
    return kStatusNoClass;
  }
  HRESULT hrMethod = pClass->GetMethod(pszMethodName, 0, nullptr, &pOutClass);
  if (FAILED(hrMethod)) {
    objTrace.Write(TRACE_ERROR, "GetMethod is failed %08x",
                   static_cast<unsigned>(hrMethod));
    pClass->Release();
    SysFreeString(bstrClassName);
    return kNoMethod;
  }
  if (pOutClass != nullptr) pOutClass->SpawnInstance(0, &pOutParams);

  HRESULT hrStatus = WBEM_S_NO_ERROR;
  bool bCaught = false;
  try {
    const CMethodEntry* pEntry = FindMethod(pszMethodName);
    if (pEntry == nullptr) {
      hrStatus = CVELTRAX_ServerService::ExecMethodAsync(
          pszObjectPath, pszMethodName, lFlags, pContext, pInParams, pSink);
    } else {
      lMethodResult = (this->*pEntry->pfnOperation)(pInParams, pOutParams);
      CIWbemUtil::setReturnValueToIWbemClassObject(
          pOutParams, static_cast<uint32_t>(lMethodResult));
      pSink->Indicate(1, &pOutParams);
    }
  } catch (const std::exception& objError) {
    std::string strWhat = CStringUtil::StringToTstring(objError.what());
    CTraceUtility::WriteDebug(GetProviderName(), TRACE_EXCEPTION,
                              "%s [exception:%s]", kDispatchPrefix,
                              strWhat.c_str());
    bCaught = true;
  } catch (...) {
    CTraceUtility::WriteDebug(GetProviderName(), TRACE_EXCEPTION,
                              "%s unknown exception", kDispatchPrefix);
    bCaught = true;
  }
  if (bCaught) {
    // The caller still gets an instance: its return value says an exception
    // ended the operation.
    CIWbemUtil::setReturnValueToIWbemClassObject(
        pOutParams, static_cast<uint32_t>(kResultException));
    pSink->Indicate(1, &pOutParams);
    hrStatus = kStatusException;
  }

  pSink->SetStatus(0, hrStatus, nullptr, nullptr);
  Release(pOutParams);
  Release(pOutClass);
  Release(pClass);
  SysFreeString(bstrClassName);
  CTraceUtility::WriteDebug(kTraceName, TRACE_DETAIL,
                            "CVELTRAX_UpdateManager::ExecMethodAsync mr=0x%s",
                            CHexCode(static_cast<uint32_t>(lMethodResult)).szText);
  if (hrStatus != WBEM_S_NO_ERROR) {
    CTraceUtility::WriteDebug(kTraceName, TRACE_ERROR,
                              "CVELTRAX_UpdateManager::ExecMethodAsync hr=0x%s",
                              CHexCode(static_cast<uint32_t>(hrStatus)).szText);
  }
  objTrace.End();
  return hrStatus;
}
