#include "runtime/class_object.h"

#include <atomic>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/names.h"
#include "runtime/testing/seams_internal.h"
#include "runtime/variant_util.h"

namespace qmx {
namespace {

using testing::HostOperation;

// What class objects and instances share: the reference count, the live
// object count and the introspection calls.
class ObjectBase : public IWbemClassObject {
 public:
  ObjectBase(SchemaRef schema, const ClassDef* def)
      : m_schema(std::move(schema)), m_def(def) {
    internal::CountObjectMade();
  }

  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }

  std::string GetClassName() override { return m_def->name; }
  std::vector<std::string> GetPropertyNames() override;
  std::string GetEmbeddedClassName(const char* property) override;

  const ClassDef* Def() const { return m_def; }
  const SchemaRef& SchemaOf() const { return m_schema; }

 protected:
  ~ObjectBase() override { internal::CountObjectGone(); }

  // Finds the property for Get or Put after the injected-fault check.
  HRESULT Lookup(HostOperation op, const char* name, int* index);

  const SchemaRef m_schema;
  const ClassDef* const m_def;

 private:
  std::atomic<ULONG> m_refs{1};
  // Where the next lookup starts: after the property found last, as callers
  // mostly write and read an object's properties in declaration order.
  std::atomic<size_t> m_nextLookup{0};
};

std::vector<std::string> ObjectBase::GetPropertyNames() {
  std::vector<std::string> names;
  names.reserve(m_def->properties.size());
  for (const PropertyDef& property : m_def->properties) {
    names.push_back(property.name);
  }
  return names;
}

std::string ObjectBase::GetEmbeddedClassName(const char* property) {
  int index = property == nullptr ? -1 : m_def->FindProperty(property);
  if (index < 0) return "";
  return m_def->properties[index].embeddedClass;
}

HRESULT ObjectBase::Lookup(HostOperation op, const char* name, int* index) {
  if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
  HRESULT injected = internal::InjectedFault(op, name);
  if (FAILED(injected)) return injected;
  *index = m_def->FindProperty(
      name, m_nextLookup.load(std::memory_order_relaxed));
  if (*index < 0) return WBEM_E_NOT_FOUND;
  m_nextLookup.store(static_cast<size_t>(*index) + 1, std::memory_order_relaxed);
  return WBEM_S_NO_ERROR;
}

// Fills the optional out-values of Get.
void ReportType(const PropertyDef& property, CIMTYPE* type, long* flavor) {
  if (type != nullptr) *type = property.type;
  if (flavor != nullptr) *flavor = 0;
}

// A class: its properties read as NULL and cannot be written. Its methods'
// parameter classes are made with it and handed out again on every
// GetMethod, as a call asks for them every time.
class ClassObject : public ObjectBase {
 public:
  ClassObject(SchemaRef schema, const ClassDef* def);

  HRESULT Get(const char* name, long flags, VARIANT* value, CIMTYPE* type,
              long* flavor) override;
  HRESULT Put(const char* name, long flags, const VARIANT* value,
              CIMTYPE type) override;
  HRESULT GetMethod(const char* name, long flags,
                    IWbemClassObject** inSignature,
                    IWbemClassObject** outSignature) override;
  HRESULT SpawnInstance(long flags, IWbemClassObject** instance) override;

 private:
  ~ClassObject() override;

  // The parameter classes of one method, in the order of m_def->methods;
  // in is null for a method without [In] parameters.
  struct Signature {
    Ref<IWbemClassObject> in;
    Ref<IWbemClassObject> out;
  };
  std::vector<Signature> m_signatures;
};

// An instance: one value per property of its class, NULL until Put. The
// values lie in the same block as the object: a call makes an instance of
// every object it returns, and one allocation each is enough. A text is kept
// in a string of that block, so that a short one (most settings are) needs
// no allocation of its own; its VARIANT points at it.
class InstanceObject : public ObjectBase {
 public:
  static InstanceObject* Make(ClassObject* cls);
  static void operator delete(void* memory) { ::operator delete(memory); }

  HRESULT Get(const char* name, long flags, VARIANT* value, CIMTYPE* type,
              long* flavor) override;
  HRESULT Put(const char* name, long flags, const VARIANT* value,
              CIMTYPE type) override;
  HRESULT GetMethod(const char* name, long flags,
                    IWbemClassObject** inSignature,
                    IWbemClassObject** outSignature) override {
    return m_class->GetMethod(name, flags, inSignature, outSignature);
  }
  HRESULT SpawnInstance(long, IWbemClassObject** instance) override {
    if (instance != nullptr) *instance = nullptr;
    return WBEM_E_ILLEGAL_OPERATION;
  }

 private:
  InstanceObject(ClassObject* cls, VARIANT* values, std::string* texts);
  ~InstanceObject() override;

  // Where the values and the texts start in a block that begins with the
  // object.
  static size_t ValuesOffset() { return RoundUp(sizeof(InstanceObject), alignof(VARIANT)); }
  static size_t TextsOffset(size_t count) {
    return RoundUp(ValuesOffset() + count * sizeof(VARIANT), alignof(std::string));
  }
  static size_t RoundUp(size_t size, size_t alignment) {
    return (size + alignment - 1) / alignment * alignment;
  }

  HRESULT CheckValue(const PropertyDef& property, const VARIANT& value,
                     CIMTYPE type) const;
  // Replaces the value at index with value, already checked.
  void Store(size_t index, const VARIANT& value);
  // Frees what the value at index holds; a text stays in its string.
  void Drop(size_t index);

  ClassObject* const m_class;
  VARIANT* const m_values;
  std::string* const m_texts;
  const size_t m_count;
};

ClassObject::ClassObject(SchemaRef schema, const ClassDef* def)
    : ObjectBase(std::move(schema), def) {
  m_signatures.reserve(def->methods.size());
  for (const MethodDef& method : def->methods) {
    Signature signature;
    if (method.in != nullptr) signature.in = NewClassObject(m_schema, method.in);
    signature.out = NewClassObject(m_schema, method.out);
    m_signatures.push_back(std::move(signature));
  }
}

ClassObject::~ClassObject() = default;

HRESULT ClassObject::Get(const char* name, long, VARIANT* value,
                         CIMTYPE* type, long* flavor) {
  int index;
  HRESULT status = Lookup(HostOperation::kGet, name, &index);
  if (FAILED(status)) return status;
  if (value != nullptr) {
    VariantInit(value);
    value->vt = VT_NULL;
  }
  ReportType(m_def->properties[index], type, flavor);
  return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::Put(const char* name, long, const VARIANT*, CIMTYPE) {
  int index;
  HRESULT status = Lookup(HostOperation::kPut, name, &index);
  if (FAILED(status)) return status;
  return WBEM_E_ILLEGAL_OPERATION;
}

HRESULT ClassObject::GetMethod(const char* name, long flags,
                               IWbemClassObject** inSignature,
                               IWbemClassObject** outSignature) {
  if (inSignature != nullptr) *inSignature = nullptr;
  if (outSignature != nullptr) *outSignature = nullptr;
  if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;  // flags are reserved
  HRESULT injected = internal::InjectedFault(HostOperation::kGetMethod, name);
  if (FAILED(injected)) return injected;
  const MethodDef* method = m_def->FindMethod(name);
  if (method == nullptr) return WBEM_E_NOT_FOUND;
  const Signature& signature =
      m_signatures[static_cast<size_t>(method - m_def->methods.data())];
  if (inSignature != nullptr && signature.in) {
    signature.in->AddRef();
    *inSignature = signature.in.get();
  }
  if (outSignature != nullptr) {
    signature.out->AddRef();
    *outSignature = signature.out.get();
  }
  return WBEM_S_NO_ERROR;
}

HRESULT ClassObject::SpawnInstance(long flags, IWbemClassObject** instance) {
  if (instance == nullptr) return WBEM_E_INVALID_PARAMETER;
  *instance = nullptr;
  if (flags != 0) return WBEM_E_INVALID_PARAMETER;  // flags are reserved
  HRESULT injected = internal::InjectedFault(HostOperation::kSpawnInstance,
                                             m_def->name.c_str());
  if (injected != WBEM_S_NO_ERROR) return injected;
  *instance = InstanceObject::Make(this);
  return WBEM_S_NO_ERROR;
}

bool IsNullValue(const VARIANT& value) {
  return value.vt == VT_NULL || value.vt == VT_EMPTY ||
         (value.vt == VT_UNKNOWN && value.punkVal == nullptr);
}

InstanceObject* InstanceObject::Make(ClassObject* cls) {
  size_t count = cls->Def()->properties.size();
  char* block = static_cast<char*>(
      ::operator new(TextsOffset(count) + count * sizeof(std::string)));
  auto* values = reinterpret_cast<VARIANT*>(block + ValuesOffset());
  auto* texts = reinterpret_cast<std::string*>(block + TextsOffset(count));
  return new (block) InstanceObject(cls, values, texts);
}

InstanceObject::InstanceObject(ClassObject* cls, VARIANT* values,
                               std::string* texts)
    : ObjectBase(cls->SchemaOf(), cls->Def()),
      m_class(cls),
      m_values(values),
      m_texts(texts),
      m_count(cls->Def()->properties.size()) {
  m_class->AddRef();
  for (size_t i = 0; i < m_count; ++i) {
    VariantInit(&m_values[i]);
    m_values[i].vt = VT_NULL;
    new (&m_texts[i]) std::string();
  }
}

InstanceObject::~InstanceObject() {
  for (size_t i = 0; i < m_count; ++i) {
    Drop(i);
    m_texts[i].~basic_string();
  }
  m_class->Release();
}

void InstanceObject::Drop(size_t index) {
  if (m_values[index].vt != VT_BSTR) VariantClear(&m_values[index]);
  VariantInit(&m_values[index]);
}

void InstanceObject::Store(size_t index, const VARIANT& value) {
  // Copy before dropping: the new value may be held only by the old one.
  VARIANT copy;
  VariantInit(&copy);
  copy.vt = VT_NULL;
  if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
    m_texts[index].assign(value.bstrVal);
    copy.vt = VT_BSTR;
    copy.bstrVal = &m_texts[index][0];
  } else if (!IsNullValue(value)) {
    VariantCopyTo(value, &copy);
  }
  Drop(index);
  m_values[index] = copy;
}

// True when object may be stored in a property holding embeddedClass.
bool EmbeddedClassFits(IWbemClassObject* object,
                       const std::string& embeddedClass) {
  if (embeddedClass.empty()) return true;
  const ClassDef* def = DefinitionOf(object);
  if (def != nullptr) return def->IsA(embeddedClass);
  // Another implementation cannot tell its ancestry: its own name must match.
  return EqualsNoCase(object->GetClassName(), embeddedClass);
}

HRESULT InstanceObject::Get(const char* name, long, VARIANT* value,
                            CIMTYPE* type, long* flavor) {
  int index;
  HRESULT status = Lookup(HostOperation::kGet, name, &index);
  if (FAILED(status)) return status;
  if (value != nullptr) {
    VariantInit(value);
    VariantCopyTo(m_values[index], value);
  }
  ReportType(m_def->properties[index], type, flavor);
  return WBEM_S_NO_ERROR;
}

HRESULT InstanceObject::Put(const char* name, long, const VARIANT* value,
                            CIMTYPE type) {
  int index;
  HRESULT status = Lookup(HostOperation::kPut, name, &index);
  if (FAILED(status)) return status;
  if (value == nullptr) return WBEM_E_INVALID_PARAMETER;
  status = CheckValue(m_def->properties[index], *value, type);
  if (FAILED(status)) return status;
  Store(static_cast<size_t>(index), *value);
  return WBEM_S_NO_ERROR;
}

HRESULT InstanceObject::CheckValue(const PropertyDef& property,
                                   const VARIANT& value, CIMTYPE type) const {
  if (type != 0 && type != property.type) return WBEM_E_TYPE_MISMATCH;
  if (IsNullValue(value)) return WBEM_S_NO_ERROR;
  if (value.vt != VariantTypeFor(property.type)) return WBEM_E_TYPE_MISMATCH;
  if (value.vt == VT_UNKNOWN &&
      !EmbeddedClassFits(value.punkVal, property.embeddedClass)) {
    return WBEM_E_TYPE_MISMATCH;
  }
  return WBEM_S_NO_ERROR;
}

}  // namespace

Ref<IWbemClassObject> NewClassObject(SchemaRef schema, const ClassDef* def) {
  return Ref<IWbemClassObject>(new ClassObject(std::move(schema), def));
}

const ClassDef* DefinitionOf(IWbemClassObject* object) {
  auto* own = dynamic_cast<ObjectBase*>(object);
  return own == nullptr ? nullptr : own->Def();
}

}  // namespace qmx
