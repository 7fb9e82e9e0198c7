// The tool's standard descriptors. A program started with one of them
// closed hands that number to the next file it opens (the trace log, the
// service's socket) and then writes its report there; so at start each
// closed one is opened on /dev/null, and a standard output that was closed
// stays unwritable for the report. Every write of the report is checked to
// the last byte, with SIGPIPE ignored, so that a report that did not reach
// its reader is an error the caller can tell, never a silent success.

#ifndef QMX_TOOLS_QMX_CALL_STANDARD_STREAMS_H_
#define QMX_TOOLS_QMX_CALL_STANDARD_STREAMS_H_

#include <string>

namespace qmx {
namespace call {

class StandardStreams {
 public:
  // Run first, before anything opens a file. False with *error when
  // /dev/null cannot be opened in place of a closed descriptor.
  bool Secure(std::string* error);

  // Writes all of text to standard output; false with *error saying why
  // not (a closed standard output reads as EBADF).
  bool WriteOut(const std::string& text, std::string* error) const;

  // Writes text to standard error as far as it goes: where a complaint
  // cannot be shown there is nobody left to tell.
  void WriteErr(const std::string& text) const;

 private:
  bool out_closed_ = false;
};

}  // namespace call
}  // namespace qmx

#endif  // QMX_TOOLS_QMX_CALL_STANDARD_STREAMS_H_
