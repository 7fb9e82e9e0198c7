// Holds the one reference that the host hands out with an object and gives
// it back when the holder goes, on every path.

#ifndef QMX_PROVIDER_OBJECTREF_H_
#define QMX_PROVIDER_OBJECTREF_H_

#include "host/wbem.h"

class ObjectRef {
 public:
  ObjectRef() = default;
  ~ObjectRef() { Reset(); }

  ObjectRef(const ObjectRef&) = delete;
  ObjectRef& operator=(const ObjectRef&) = delete;

  // Where a host call writes a new reference.
  IWbemClassObject** Receive() {
    Reset();
    return &m_object;
  }
  IWbemClassObject* get() const { return m_object; }

  void Reset() {
    if (m_object == nullptr) return;
    m_object->Release();
    m_object = nullptr;
  }

 private:
  IWbemClassObject* m_object = nullptr;
};

#endif  // QMX_PROVIDER_OBJECTREF_H_
