// What one operation gives the shared request cycle: its trace prefix, its
// message kind, its reply-length rule, how it builds its parameter list and
// how it reads the reply body. Everything else of a cycle is common.

#ifndef QMX_PROVIDER_REQUESTCYCLE_H_
#define QMX_PROVIDER_REQUESTCYCLE_H_

#include <functional>
#include <string>

#include "provider/OperationTrace.h"

enum class ReplyLength {
  kHeaderOnly,  // exactly the 16-character header
  kWithBody,    // more than the header
};

// What the link steps trace and return when the transfer fails; the status
// query words these its own way.
struct LinkFailureTexts {
  const char* sendFailed;
  const char* receiveFailed;
  long receiveFailedResult;
};

struct RequestCycle {
  OperationTrace trace;
  const char* kind;
  ReplyLength replyLength;
  // Reads the input and builds the parameter list before the link opens;
  // returns 0 or the result code to end with. Empty: an empty list.
  std::function<long(std::string* list)> buildList;
  // Reads the reply body into output parameters; false ends the cycle with
  // kResultFailed (the reader traces why). Empty: the reply has no body.
  std::function<bool(std::string body)> readBody;
};

#endif  // QMX_PROVIDER_REQUESTCYCLE_H_
