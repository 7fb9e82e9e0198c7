// The input-parameter instance of one call, built from the user's
// assignments with every value typed by the schema.

#ifndef QMX_TOOLS_QMX_CALL_INPUT_PARAMS_H_
#define QMX_TOOLS_QMX_CALL_INPUT_PARAMS_H_

#include <string>
#include <vector>

#include "common/object_ref.h"
#include "host/wbem.h"
#include "tools/qmx-call/call_options.h"

namespace qmx {
namespace call {

// Spawns an instance of inClass (the method's input class) and fills it:
// "PARAM=VALUE" sets a plain parameter, "PARAM.PROPERTY=VALUE" a property of
// an instance of the parameter's embedded class, spawned from services on
// first use and stored in the parameter once all are applied. Names match
// without regard to letter case. False with *error when a name is unknown
// or a value does not fit its type.
bool BuildInput(IWbemServices* services, IWbemClassObject* inClass,
                const std::vector<Assignment>& assignments,
                Ref<IWbemClassObject>* input, std::string* error);

// Parses text as a value of the given property type into *value, which the
// caller clears. Booleans: true/false/1/0 in any case; sint32 and uint32:
// decimal within range; strings as they are.
bool ParseValue(CIMTYPE type, const std::string& text, VARIANT* value,
                std::string* error);

}  // namespace call
}  // namespace qmx

#endif  // QMX_TOOLS_QMX_CALL_INPUT_PARAMS_H_
