// The immutable description of the classes a repository holds. The MOF
// loader builds it once; class objects and instances share it read-only, so
// any number of threads may use it without locks.

#ifndef QMX_RUNTIME_CLASS_DEF_H_
#define QMX_RUNTIME_CLASS_DEF_H_

#include <map>
#include <unordered_map>
#include <memory>
#include <string>
#include <vector>

#include "host/wbem.h"
#include "common/names.h"

namespace qmx {

struct ClassDef;

struct PropertyDef {
  std::string name;
  CIMTYPE type = CIM_STRING;
  // CIM_OBJECT only: the class the property holds; empty means any class.
  std::string embeddedClass;
  // Where it was declared, for errors found after the whole load.
  std::string file;
  int line = 0;
};

struct MethodDef {
  std::string name;
  const ClassDef* in = nullptr;  // null when the method has no [In] parameter
  const ClassDef* out = nullptr;  // always set; "ReturnValue" comes first
};

// One class: inherited members first, then its own, in declaration order.
struct ClassDef {
  std::string name;
  const ClassDef* super = nullptr;
  std::vector<PropertyDef> properties;
  std::vector<MethodDef> methods;

  // Index into properties, or -1. The search starts at from (any index) and
  // wraps around, so that a caller walking the properties in order finds
  // each at the first look.
  int FindProperty(const char* name, size_t from = 0) const;
  const MethodDef* FindMethod(const char* name) const;
  // True when this class is the named class or derives from it.
  bool IsA(const std::string& className) const;
};

// All classes of one repository, including the parameter classes of its
// methods, which have no name of their own to be found by.
class Schema {
 public:
  // Null when a class of that name (any case) already exists.
  ClassDef* AddClass(const std::string& name);
  ClassDef* AddParameterClass();
  const ClassDef* Find(const std::string& name) const;

  // Every class, named ones and parameter classes, in creation order.
  const std::vector<std::unique_ptr<ClassDef>>& All() const { return m_all; }

 private:
  std::vector<std::unique_ptr<ClassDef>> m_all;
  // A name is looked up for every GetObject: hashed without regard to case,
  // it is found with one pass over it and one comparison.
  struct NoCaseHash {
    size_t operator()(const std::string& name) const {
      size_t hash = 2166136261u;
      for (char c : name) hash = (hash ^ static_cast<unsigned char>(AsciiLower(c))) * 16777619u;
      return hash;
    }
  };
  struct NoCaseEqual {
    bool operator()(const std::string& left, const std::string& right) const {
      return EqualsNoCase(left, right);
    }
  };
  std::unordered_map<std::string, const ClassDef*, NoCaseHash, NoCaseEqual> m_byName;
};

using SchemaRef = std::shared_ptr<const Schema>;

}  // namespace qmx

#endif  // QMX_RUNTIME_CLASS_DEF_H_
