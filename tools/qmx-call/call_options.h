// The command line of qmx-call: which provider and schema to use, how to
// show the result, the method and the input values the user gave.

#ifndef QMX_TOOLS_QMX_CALL_CALL_OPTIONS_H_
#define QMX_TOOLS_QMX_CALL_CALL_OPTIONS_H_

#include <string>
#include <vector>

namespace qmx {
namespace call {

// One input value: "PARAM=VALUE" (property empty) or
// "PARAM.PROPERTY=VALUE" (a property of an embedded-object parameter).
struct Assignment {
  std::string parameter;
  std::string property;
  std::string value;
  std::string text;  // the argument as given, for messages
};

struct CallOptions {
  std::string provider;  // empty: beside the executable
  std::string schema;    // empty: beside the executable
  bool json = false;
  bool trace = false;
  bool help = false;
  bool check = false;  // walk the chain instead of calling a method
  std::string method;
  std::vector<Assignment> assignments;
};

// Parses the command line the way getopt_long does for other tools:
// "--schema=PATH" or "--schema PATH", options anywhere before "--", the
// first other argument is the method. argv may be reordered. False with
// *error saying what was wrong.
bool ParseCallOptions(int argc, char** argv, CallOptions* options,
                      std::string* error);

// Fills the paths the user left out with the installed layout around this
// executable, and makes a bare library name a file in the working folder
// (dlopen would otherwise search the library path for it).
void ApplyDefaultPaths(CallOptions* options);

std::string Usage();

}  // namespace call
}  // namespace qmx

#endif  // QMX_TOOLS_QMX_CALL_CALL_OPTIONS_H_
