#include "provider/SettingsFields.h"

#include <iterator>
#include <string>
#include <vector>

#include "host/utility.h"
#include "link/MessageFormat.h"
#include "provider/ObjectRef.h"
#include "provider/OperationTrace.h"
#include "provider/UpdateManager.h"

namespace {

unsigned Status32(HRESULT hrStatus) { return static_cast<unsigned>(hrStatus); }

HRESULT ReadField(IWbemClassObject* pObject, const CSettingField& objField,
                  std::string* pstrText) {
  HRESULT hrStatus = WBEM_E_FAILED;
  switch (objField.eType) {
    case EFieldType::kBoolean: {
      bool bValue = false;
      hrStatus = CIWbemUtil::getBoolFromIWbemClassObject(
          pObject, objField.pszName, &bValue);
      *pstrText = message::FormatBool(bValue);
      break;
    }
    case EFieldType::kInteger: {
      int nValue = 0;
      hrStatus = CIWbemUtil::getIntFromIWbemClassObject(
          pObject, objField.pszName, &nValue);
      *pstrText = message::FormatInt(nValue);
      break;
    }
    case EFieldType::kText: {
      std::string strValue;
      hrStatus = CIWbemUtil::getStringFromIWbemClassObject(
          pObject, objField.pszName, &strValue);
      *pstrText = message::EscapeValue(std::move(strValue));
      break;
    }
  }
  return hrStatus;
}

HRESULT StoreField(IWbemClassObject* pInstance, const CSettingField& objField,
                   const std::string& strText) {
  switch (objField.eType) {
    case EFieldType::kBoolean: {
      bool bValue = false;
      message::ParseBool(strText, &bValue);
      return CIWbemUtil::setBoolToIWbemClassObject(pInstance, objField.pszName,
                                                   bValue);
    }
    case EFieldType::kInteger:
      return CIWbemUtil::setIntToIWbemClassObject(
          pInstance, objField.pszName,
          static_cast<int>(message::ParseDecimal32(strText)));
    case EFieldType::kText:
      return CIWbemUtil::setStringToIWbemClassObject(pInstance,
                                                     objField.pszName, strText);
  }
  return WBEM_E_FAILED;
}

using CValueIterator = std::vector<std::string>::const_iterator;

// The first boolean field whose text is neither "1" nor "0"; checked before
// any property is set, so a rejected reply leaves no half-filled instance.
const CSettingField* FirstRejected(const CFieldTable& objFields,
                                   CValueIterator itValue) {
  bool bIgnored = false;
  for (const CSettingField& objField : objFields) {
    const std::string& strText = *itValue++;
    if (objField.eType == EFieldType::kBoolean &&
        !message::ParseBool(strText, &bIgnored)) {
      return &objField;
    }
  }
  return nullptr;
}

// Reads the object into *pobjEmbedded, which keeps it, and appends its
// fields.
bool EncodeObject(const COperationTrace& objTrace, IWbemClassObject* pInParams,
                  const CSettingsObject& objObject, CObjectRef* pobjEmbedded,
                  std::string* pstrList) {
  HRESULT hrStatus = CIWbemUtil::getParameterClassFromIWbemClassObject(
      pInParams, objObject.pszParameter, pobjEmbedded->Receive());
  if (FAILED(hrStatus)) {
    objTrace.Write(TRACE_ERROR, "GetInParam is failed %s %08x",
                   objObject.pszParameter, Status32(hrStatus));
    return false;
  }
  std::string strText;
  for (const CSettingField& objField : *objObject.pFields) {
    hrStatus = ReadField(pobjEmbedded->Get(), objField, &strText);
    if (FAILED(hrStatus)) {
      objTrace.Write(TRACE_ERROR, "GetInParam is failed %s %08x",
                     objField.pszName, Status32(hrStatus));
      return false;
    }
    pstrList->append(strText).append(message::kSeparator);
  }
  return true;
}

bool StoreObject(const COperationTrace& objTrace, IWbemServices* pServices,
                 IWbemClassObject* pOutParams, const CSettingsObject& objObject,
                 CValueIterator itValue) {
  CObjectRef objClass;
  HRESULT hrStatus =
      pServices == nullptr
          ? WBEM_E_FAILED
          : pServices->GetObject(objObject.pszClassName, 0, nullptr,
                                 objClass.Receive(), nullptr);
  if (FAILED(hrStatus) || objClass.Get() == nullptr) {
    objTrace.Write(TRACE_ERROR, "GetObject is failed %s %08x",
                   objObject.pszClassName, Status32(hrStatus));
    return false;
  }
  CObjectRef objInstance;
  hrStatus = objClass.Get()->SpawnInstance(0, objInstance.Receive());
  if (FAILED(hrStatus) || objInstance.Get() == nullptr) {
    objTrace.Write(TRACE_ERROR, "SpawnInstance is failed %s %08x",
                   objObject.pszClassName, Status32(hrStatus));
    return false;
  }
  if (const CSettingField* pRejected =
          FirstRejected(*objObject.pFields, itValue)) {
    objTrace.Write(TRACE_ERROR, "Param error %s %08x", pRejected->pszName,
                   Status32(hrStatus));
    return false;
  }
  for (const CSettingField& objField : *objObject.pFields) {
    HRESULT hrStored = StoreField(objInstance.Get(), objField, *itValue++);
    if (FAILED(hrStored)) {
      objTrace.Write(TRACE_ERROR, "SetOutParam is failed %s %08x",
                     objField.pszName, Status32(hrStored));
      return false;
    }
  }
  hrStatus = CIWbemUtil::setParameterClassToIWbemClassObject(
      pOutParams, objObject.pszParameter, objInstance.Get());
  if (FAILED(hrStatus)) {
    objTrace.Write(TRACE_ERROR, "SetOutParam is failed %s %08x",
                   objObject.pszParameter, Status32(hrStatus));
    return false;
  }
  return true;
}

}  // namespace

long CSettingsWriteCycle::BuildList(std::string* pstrList) {
  size_t nIndex = 0;
  for (const CSettingsObject& objObject : m_objObjects) {
    if (!EncodeObject(GetTrace(), m_pInParams, objObject,
                      &m_aobjInput[nIndex++], pstrList)) {
      return kResultFailed;
    }
  }
  // Every value was followed by a separator; the list ends with its last
  // value.
  if (!pstrList->empty()) pstrList->pop_back();
  return kResultSuccess;
}

void CSettingsWriteCycle::ReleaseInput() {
  for (CObjectRef& objInput : m_aobjInput) objInput.Reset();
}

bool CSettingsReadCycle::ReadBody(std::string strBody) {
  size_t nExpected = 0;
  for (const CSettingsObject& objObject : m_objObjects) {
    nExpected += objObject.pFields->size();
  }
  std::vector<std::string> vecValues;
  if (!m_pProvider->GetParameterOf(std::move(strBody), nExpected, &vecValues)) {
    GetTrace().Write(TRACE_ERROR, "ParamNum error");
    return false;
  }
  CValueIterator itValue = vecValues.begin();
  for (const CSettingsObject& objObject : m_objObjects) {
    if (!StoreObject(GetTrace(), m_pProvider->GetServices(), m_pOutParams,
                     objObject, itValue)) {
      return false;
    }
    std::advance(itValue, objObject.pFields->size());
  }
  return true;
}
