// The WBEM object model that the host framework offers a provider: status
// codes, the value carrier, class objects and instances, the services object
// that serves classes, the call context and the result sink.
//
// Strings are byte strings throughout (the framework's BSTR is a char*).
// Status values are 32-bit on every build, so a failure is negative on both
// i386 and x86_64.

#ifndef QMX_HOST_WBEM_H_
#define QMX_HOST_WBEM_H_

#include <cstdint>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

typedef int32_t HRESULT;
typedef uint32_t ULONG;
typedef char* BSTR;
typedef int32_t CIMTYPE;

// Status values.
constexpr HRESULT WBEM_S_NO_ERROR = 0;
constexpr HRESULT WBEM_E_FAILED = static_cast<HRESULT>(0x80041001u);
constexpr HRESULT WBEM_E_NOT_FOUND = static_cast<HRESULT>(0x80041002u);
constexpr HRESULT WBEM_E_TYPE_MISMATCH = static_cast<HRESULT>(0x80041005u);
constexpr HRESULT WBEM_E_OUT_OF_MEMORY = static_cast<HRESULT>(0x80041006u);
constexpr HRESULT WBEM_E_INVALID_PARAMETER = static_cast<HRESULT>(0x80041008u);
constexpr HRESULT WBEM_E_NOT_SUPPORTED = static_cast<HRESULT>(0x8004100Cu);
constexpr HRESULT WBEM_E_INVALID_CLASS = static_cast<HRESULT>(0x80041010u);
constexpr HRESULT WBEM_E_ILLEGAL_OPERATION = static_cast<HRESULT>(0x80041016u);
constexpr HRESULT WBEM_E_INVALID_METHOD = static_cast<HRESULT>(0x8004102Eu);
constexpr HRESULT WBEM_E_METHOD_NOT_IMPLEMENTED = static_cast<HRESULT>(0x80041055u);

inline bool FAILED(HRESULT hr) { return hr < 0; }
inline bool SUCCEEDED(HRESULT hr) { return hr >= 0; }

// Property types (CIM type codes).
constexpr CIMTYPE CIM_SINT32 = 3;
constexpr CIMTYPE CIM_STRING = 8;
constexpr CIMTYPE CIM_BOOLEAN = 11;
constexpr CIMTYPE CIM_OBJECT = 13;
constexpr CIMTYPE CIM_UINT32 = 19;

// Value kinds a VARIANT can carry.
constexpr uint16_t VT_EMPTY = 0;
constexpr uint16_t VT_NULL = 1;
constexpr uint16_t VT_I4 = 3;
constexpr uint16_t VT_BSTR = 8;
constexpr uint16_t VT_BOOL = 11;
constexpr uint16_t VT_UNKNOWN = 13;
constexpr uint16_t VT_UI4 = 19;

class IWbemClassObject;

// One property value. A VARIANT filled by Get owns what it holds: VariantClear
// frees the string or releases the object.
struct VARIANT {
  uint16_t vt;
  union {
    int32_t lVal;
    uint32_t ulVal;
    bool boolVal;
    BSTR bstrVal;
    IWbemClassObject* punkVal;
  };
};

void VariantInit(VARIANT* value);
HRESULT VariantClear(VARIANT* value);

BSTR SysAllocString(const char* text);
void SysFreeString(BSTR text);
// 0 when equal; byte strings compared as strcmp does.
int lstrcmpW(const char* left, const char* right);

// A class or an instance. Names of classes, properties and methods are
// matched without regard to letter case. Every object handed out through an
// out-pointer carries one reference that the receiver must Release.
class IWbemClassObject {
 public:
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

  // Property access. Get on a NULL property gives vt == VT_NULL and the
  // property's declared type. Put with VT_NULL sets the property to NULL.
  virtual HRESULT Get(const char* name, long flags, VARIANT* value,
                      CIMTYPE* type, long* flavor) = 0;
  virtual HRESULT Put(const char* name, long flags, const VARIANT* value,
                      CIMTYPE type) = 0;

  // The input and output parameter classes of a method of this class; either
  // out-pointer may be null. A method without input gives a null input class.
  virtual HRESULT GetMethod(const char* name, long flags,
                            IWbemClassObject** inSignature,
                            IWbemClassObject** outSignature) = 0;
  virtual HRESULT SpawnInstance(long flags, IWbemClassObject** instance) = 0;

  // Introspection for hosts and tools: the class name, the property names in
  // declaration order, and the class that an embedded-object property holds
  // (empty when the property is not an embedded object or names no class).
  virtual std::string GetClassName() = 0;
  virtual std::vector<std::string> GetPropertyNames() = 0;
  virtual std::string GetEmbeddedClassName(const char* property) = 0;

 protected:
  virtual ~IWbemClassObject() = default;
};

// The call context a host passes along; the provider only forwards it.
class IWbemContext {
 public:
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~IWbemContext() = default;
};

class IWbemCallResult;

// The host's services object: serves class objects by name.
class IWbemServices {
 public:
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual HRESULT GetObject(const std::string& path, long flags,
                            IWbemContext* context, IWbemClassObject** object,
                            IWbemCallResult** callResult) = 0;

 protected:
  virtual ~IWbemServices() = default;
};

// Where a provider delivers the results of one call.
class IWbemObjectSink {
 public:
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
  virtual HRESULT Indicate(long count, IWbemClassObject** objects) = 0;
  virtual HRESULT SetStatus(long flags, HRESULT result, BSTR param,
                            IWbemClassObject* errorObject) = 0;

 protected:
  virtual ~IWbemObjectSink() = default;
};

#pragma GCC visibility pop

#endif  // QMX_HOST_WBEM_H_
