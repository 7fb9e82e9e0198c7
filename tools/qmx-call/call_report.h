// What one method call produced, shown for people (text with MOF instances)
// or for scripts (one JSON object), and the tool's exit status for it.

#ifndef QMX_TOOLS_QMX_CALL_CALL_REPORT_H_
#define QMX_TOOLS_QMX_CALL_CALL_REPORT_H_

#include <cstdint>
#include <string>

#include "host/wbem.h"

namespace qmx {
namespace call {

struct CallOutcome {
  std::string method;  // as the user typed it
  HRESULT status = WBEM_S_NO_ERROR;  // what ExecMethodAsync returned
  // The first instance the provider indicated; null when none came.
  IWbemClassObject* output = nullptr;
  // The method's output class from the schema; null when undeclared. It
  // names the output parameters when no instance came.
  IWbemClassObject* out_class = nullptr;
};

// Names of call statuses and of the method's return values; "" when the
// value has none.
std::string StatusName(uint32_t status);
std::string ReturnValueMeaning(uint32_t value);

std::string FormatText(const CallOutcome& outcome);
// "status" and every 32-bit code are written unsigned.
std::string FormatJson(const CallOutcome& outcome);

// 0 when the status and the ReturnValue are 0, 1 when only the ReturnValue
// is not (or none came), 2 when the status is not 0.
int ExitStatus(const CallOutcome& outcome);

// MOF and JSON string literals, quotes included; control bytes escaped
// (\xHH and \u00HH) so that a value never breaks a line.
std::string MofString(const std::string& text);
std::string JsonString(const std::string& text);

}  // namespace call
}  // namespace qmx

#endif  // QMX_TOOLS_QMX_CALL_CALL_REPORT_H_
