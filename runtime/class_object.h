// The runtime's class objects and instances (IWbemClassObject). A class
// object serves its properties as NULL values, its methods' parameter
// classes and new instances; an instance holds a reference to its class and
// one value per property.

#ifndef QMX_RUNTIME_CLASS_OBJECT_H_
#define QMX_RUNTIME_CLASS_OBJECT_H_

#include <memory>

#include "host/wbem.h"
#include "runtime/class_def.h"

namespace qmx {

// A class object for def, carrying one reference. The object keeps the
// schema alive.
IWbemClassObject* NewClassObject(SchemaRef schema, const ClassDef* def);

// Holds one reference to an object and gives it back when it goes, so that
// an owner whose constructor throws halfway leaks none of those it made.
struct ReleaseObject {
  void operator()(IWbemClassObject* object) const { object->Release(); }
};
using ObjectRef = std::unique_ptr<IWbemClassObject, ReleaseObject>;

// The class behind an object made by this runtime; null for any other
// implementation of IWbemClassObject (a test double, say).
const ClassDef* DefinitionOf(IWbemClassObject* object);

}  // namespace qmx

#endif  // QMX_RUNTIME_CLASS_OBJECT_H_
