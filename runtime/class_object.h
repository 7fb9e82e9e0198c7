// The runtime's class objects and instances (IWbemClassObject). A class
// object serves its properties as NULL values, its methods' parameter
// classes and new instances; an instance holds a reference to its class and
// one value per property.

#ifndef QMX_RUNTIME_CLASS_OBJECT_H_
#define QMX_RUNTIME_CLASS_OBJECT_H_

#include "common/object_ref.h"
#include "host/wbem.h"
#include "runtime/class_def.h"

namespace qmx {

// A class object for def, and the one reference it carries. The object
// keeps the schema alive.
Ref<IWbemClassObject> NewClassObject(SchemaRef schema, const ClassDef* def);

// The class behind an object made by this runtime; null for any other
// implementation of IWbemClassObject (a test double, say).
const ClassDef* DefinitionOf(IWbemClassObject* object);

}  // namespace qmx

#endif  // QMX_RUNTIME_CLASS_OBJECT_H_
