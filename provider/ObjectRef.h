// Holds the one reference that the host hands out with an object and gives
// it back when the holder goes, on every path.

#ifndef QMX_PROVIDER_OBJECTREF_H_
#define QMX_PROVIDER_OBJECTREF_H_

#include "host/wbem.h"

class CObjectRef {
 public:
  CObjectRef() = default;
  ~CObjectRef() { Reset(); }

  CObjectRef(const CObjectRef&) = delete;
  CObjectRef& operator=(const CObjectRef&) = delete;

  // Where a host call writes a new reference.
  IWbemClassObject** Receive() {
    Reset();
    return &m_pObject;
  }
  IWbemClassObject* Get() const { return m_pObject; }

  void Reset() {
    if (m_pObject == nullptr) return;
    m_pObject->Release();
    m_pObject = nullptr;
  }

 private:
  IWbemClassObject* m_pObject = nullptr;
};

#endif  // QMX_PROVIDER_OBJECTREF_H_
