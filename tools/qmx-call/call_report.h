// What one method call produced, shown for people (text with MOF instances)
// or for scripts (one JSON object), and the tool's exit status for it; and
// what --check found of each link, shown the same two ways.

#ifndef QMX_TOOLS_QMX_CALL_CALL_REPORT_H_
#define QMX_TOOLS_QMX_CALL_CALL_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

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

// One link of the chain as --check found it.
struct LinkResult {
  std::string link;    // "configuration", "socket", "service", ...
  bool ok = false;
  std::string found;   // what was found, for a person
  std::string action;  // what to do about it; "" when ok
};

// Names of call statuses and of the method's return values; "" when the
// value has none.
std::string StatusName(uint32_t status);
std::string ReturnValueMeaning(uint32_t value);

// Text for a terminal: MOF instances, every value escaped by MofString.
std::string FormatText(const CallOutcome& outcome);
// One line of JSON; "status" and every 32-bit code are written unsigned.
// Always valid UTF-8: bytes of a value that are not UTF-8 become U+FFFD.
std::string FormatJson(const CallOutcome& outcome);

// One line for a terminal: "ok" or "FAILING", the link, what was found
// and, after " -- ", what to do; escaped by Printable.
std::string FormatLinkText(const LinkResult& link);
// One line of JSON: an array of {"link", "ok", "found", "action"}, valid
// UTF-8 as FormatJson's.
std::string FormatLinksJson(const std::vector<LinkResult>& links);

// 0 when the status and the ReturnValue are 0, 1 when only the ReturnValue
// is not (or none came), 2 when the status is not 0.
int ExitStatus(const CallOutcome& outcome);

// text with every control character (C0, DEL, C1) and every byte that is
// not part of well-formed UTF-8 written \xHH, so that what a value holds
// can neither drive a terminal nor break a line.
std::string Printable(const std::string& text);

// A MOF string literal, quotes included: Printable, with '"' and '\'
// escaped so that each \xHH stands for one byte.
std::string MofString(const std::string& text);

}  // namespace call
}  // namespace qmx

#endif  // QMX_TOOLS_QMX_CALL_CALL_REPORT_H_
