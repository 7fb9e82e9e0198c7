// VARIANT and BSTR handling: who frees what.

#include <cstring>

#include "host/wbem.h"
#include "runtime/testing/seams_internal.h"
#include "runtime/variant_util.h"

void VariantInit(VARIANT* value) {
  if (value == nullptr) return;
  std::memset(value, 0, sizeof(*value));
  value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* value) {
  if (value == nullptr) return WBEM_E_INVALID_PARAMETER;
  if (value->vt == VT_BSTR) SysFreeString(value->bstrVal);
  if (value->vt == VT_UNKNOWN && value->punkVal != nullptr) {
    value->punkVal->Release();
  }
  VariantInit(value);
  return WBEM_S_NO_ERROR;
}

BSTR SysAllocString(const char* text) {
  if (text == nullptr) return nullptr;
  size_t size = std::strlen(text) + 1;
  BSTR copy = new char[size];
  std::memcpy(copy, text, size);
  qmx::internal::CountObjectMade();  // a string not freed shows as a live object
  return copy;
}

void SysFreeString(BSTR text) {
  if (text == nullptr) return;
  qmx::internal::CountObjectGone();
  delete[] text;
}

namespace qmx {

void VariantCopyTo(const VARIANT& from, VARIANT* to) {
  *to = from;
  if (from.vt == VT_BSTR) to->bstrVal = SysAllocString(from.bstrVal);
  if (from.vt == VT_UNKNOWN && from.punkVal != nullptr) from.punkVal->AddRef();
}

uint16_t VariantTypeFor(CIMTYPE type) {
  switch (type) {
    case CIM_SINT32: return VT_I4;
    case CIM_UINT32: return VT_UI4;
    case CIM_BOOLEAN: return VT_BOOL;
    case CIM_OBJECT: return VT_UNKNOWN;
    default: return VT_BSTR;
  }
}

}  // namespace qmx
