// VARIANT helpers the runtime needs beyond the public VariantInit and
// VariantClear.

#ifndef QMX_RUNTIME_VARIANT_UTIL_H_
#define QMX_RUNTIME_VARIANT_UTIL_H_

#include "host/wbem.h"

namespace qmx {

// Makes *to an owning copy of from (string duplicated, object AddRef'd).
// *to must hold nothing that needs freeing.
void VariantCopyTo(const VARIANT& from, VARIANT* to);

// The VARIANT kind that carries a value of this CIM type.
uint16_t VariantTypeFor(CIMTYPE type);

}  // namespace qmx

#endif  // QMX_RUNTIME_VARIANT_UTIL_H_
