// Typed property access on top of Get and Put, so that every check (and
// every injected fault) of the object model applies to it.

#include "host/utility.h"

namespace {

// A VARIANT that frees what it holds when it goes out of scope.
class ScopedVariant {
 public:
  ScopedVariant() { VariantInit(&m_value); }
  ~ScopedVariant() { VariantClear(&m_value); }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;

  VARIANT* get() { return &m_value; }
  VARIANT& operator*() { return m_value; }

 private:
  VARIANT m_value;
};

// Reads a property declared as one of the given types (alsoAllowed may
// repeat wanted) into *value.
HRESULT GetTyped(IWbemClassObject* object, const std::string& name,
                 CIMTYPE wanted, CIMTYPE alsoAllowed, VARIANT* value) {
  if (object == nullptr) return WBEM_E_INVALID_PARAMETER;
  CIMTYPE type = 0;
  HRESULT status = object->Get(name.c_str(), 0, value, &type, nullptr);
  if (FAILED(status)) return status;
  if (type != wanted && type != alsoAllowed) return WBEM_E_TYPE_MISMATCH;
  return WBEM_S_NO_ERROR;
}

HRESULT PutValue(IWbemClassObject* object, const std::string& name,
                 const VARIANT& value) {
  if (object == nullptr) return WBEM_E_INVALID_PARAMETER;
  return object->Put(name.c_str(), 0, &value, 0);
}

VARIANT MakeVariant(uint16_t vt) {
  VARIANT value;
  VariantInit(&value);
  value.vt = vt;
  return value;
}

}  // namespace

HRESULT CIWbemUtil::getStringFromIWbemClassObject(IWbemClassObject* object,
                                                  const std::string& name,
                                                  std::string* value) {
  if (value == nullptr) return WBEM_E_INVALID_PARAMETER;
  ScopedVariant read;
  HRESULT status = GetTyped(object, name, CIM_STRING, CIM_STRING, read.get());
  if (FAILED(status)) return status;
  if ((*read).vt == VT_NULL) {
    value->clear();
    return WBEM_S_NO_ERROR;
  }
  if ((*read).vt != VT_BSTR) return WBEM_E_TYPE_MISMATCH;
  value->assign((*read).bstrVal == nullptr ? "" : (*read).bstrVal);
  return WBEM_S_NO_ERROR;
}

// A uint32 property reads as its 32-bit pattern, so that "ReturnValue" can be
// read back the way it was written.
HRESULT CIWbemUtil::getIntFromIWbemClassObject(IWbemClassObject* object,
                                               const std::string& name,
                                               int* value) {
  if (value == nullptr) return WBEM_E_INVALID_PARAMETER;
  ScopedVariant read;
  HRESULT status = GetTyped(object, name, CIM_SINT32, CIM_UINT32, read.get());
  if (FAILED(status)) return status;
  switch ((*read).vt) {
    case VT_NULL: *value = 0; return WBEM_S_NO_ERROR;
    case VT_I4: *value = (*read).lVal; return WBEM_S_NO_ERROR;
    case VT_UI4: *value = static_cast<int>((*read).ulVal); return WBEM_S_NO_ERROR;
    default: return WBEM_E_TYPE_MISMATCH;
  }
}

HRESULT CIWbemUtil::getBoolFromIWbemClassObject(IWbemClassObject* object,
                                                const std::string& name,
                                                bool* value) {
  if (value == nullptr) return WBEM_E_INVALID_PARAMETER;
  ScopedVariant read;
  HRESULT status = GetTyped(object, name, CIM_BOOLEAN, CIM_BOOLEAN, read.get());
  if (FAILED(status)) return status;
  if ((*read).vt == VT_NULL) {
    *value = false;
    return WBEM_S_NO_ERROR;
  }
  if ((*read).vt != VT_BOOL) return WBEM_E_TYPE_MISMATCH;
  *value = (*read).boolVal;
  return WBEM_S_NO_ERROR;
}

HRESULT CIWbemUtil::getParameterClassFromIWbemClassObject(
    IWbemClassObject* object, const std::string& name,
    IWbemClassObject** value) {
  if (value == nullptr) return WBEM_E_INVALID_PARAMETER;
  *value = nullptr;
  ScopedVariant read;
  HRESULT status = GetTyped(object, name, CIM_OBJECT, CIM_OBJECT, read.get());
  if (FAILED(status)) return status;
  if ((*read).vt == VT_NULL) return WBEM_E_NOT_FOUND;
  if ((*read).vt != VT_UNKNOWN || (*read).punkVal == nullptr) {
    return WBEM_E_TYPE_MISMATCH;
  }
  // The reference Get took passes to the caller.
  *value = (*read).punkVal;
  (*read).vt = VT_EMPTY;
  return WBEM_S_NO_ERROR;
}

HRESULT CIWbemUtil::setStringToIWbemClassObject(IWbemClassObject* object,
                                                const std::string& name,
                                                const std::string& value) {
  // Put copies the text, so the caller's buffer can be lent.
  VARIANT put = MakeVariant(VT_BSTR);
  put.bstrVal = const_cast<char*>(value.c_str());
  return PutValue(object, name, put);
}

HRESULT CIWbemUtil::setIntToIWbemClassObject(IWbemClassObject* object,
                                             const std::string& name,
                                             int value) {
  VARIANT put = MakeVariant(VT_I4);
  put.lVal = value;
  return PutValue(object, name, put);
}

HRESULT CIWbemUtil::setLongToIWbemClassObject(IWbemClassObject* object,
                                              const std::string& name,
                                              long value) {
  if (object == nullptr) return WBEM_E_INVALID_PARAMETER;
  int32_t narrowed = static_cast<int32_t>(value);
  if (narrowed != value) return WBEM_E_INVALID_PARAMETER;
  return setIntToIWbemClassObject(object, name, narrowed);
}

HRESULT CIWbemUtil::setBoolToIWbemClassObject(IWbemClassObject* object,
                                              const std::string& name,
                                              bool value) {
  VARIANT put = MakeVariant(VT_BOOL);
  put.boolVal = value;
  return PutValue(object, name, put);
}

HRESULT CIWbemUtil::setParameterClassToIWbemClassObject(
    IWbemClassObject* object, const std::string& name,
    IWbemClassObject* value) {
  VARIANT put = MakeVariant(value == nullptr ? VT_NULL : VT_UNKNOWN);
  put.punkVal = value;
  return PutValue(object, name, put);
}

HRESULT CIWbemUtil::setReturnValueToIWbemClassObject(IWbemClassObject* object,
                                                     uint32_t value) {
  VARIANT put = MakeVariant(VT_UI4);
  put.ulVal = value;
  return PutValue(object, "ReturnValue", put);
}
