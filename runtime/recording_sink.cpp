#include "runtime/repository.h"
#include "runtime/testing/seams_internal.h"

namespace qmx {

RecordingSink::RecordingSink() : m_refs(1) {}

RecordingSink::~RecordingSink() {
  for (IWbemClassObject* object : m_indicated) object->Release();
}

// The count is atomic only through these builtins: the member's type is
// part of the public layout.
ULONG RecordingSink::AddRef() {
  return __atomic_add_fetch(&m_refs, 1, __ATOMIC_RELAXED);
}

ULONG RecordingSink::Release() {
  return __atomic_sub_fetch(&m_refs, 1, __ATOMIC_RELAXED);
}

HRESULT RecordingSink::Indicate(long count, IWbemClassObject** objects) {
  HRESULT injected =
      internal::InjectedFault(testing::HostOperation::kIndicate, "");
  if (FAILED(injected)) return injected;
  if (count < 0 || (count > 0 && objects == nullptr)) {
    return WBEM_E_INVALID_PARAMETER;
  }
  for (long i = 0; i < count; ++i) {
    if (objects[i] == nullptr) return WBEM_E_INVALID_PARAMETER;
  }
  for (long i = 0; i < count; ++i) {
    objects[i]->AddRef();
    m_indicated.push_back(objects[i]);
  }
  return WBEM_S_NO_ERROR;
}

HRESULT RecordingSink::SetStatus(long flags, HRESULT result, BSTR param,
                                 IWbemClassObject* object) {
  if (flags != 0 || param != nullptr || object != nullptr) {
    return WBEM_E_INVALID_PARAMETER;
  }
  m_statuses.push_back(result);
  return WBEM_S_NO_ERROR;
}

}  // namespace qmx
