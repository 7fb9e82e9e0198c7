// Helpers for the files the service keeps: an escape that keeps any value on
// one text line. Opening, writing and replacing them goes through
// common/safe_files.h, included here for every user.

#ifndef QMX_SERVICE_FILES_H_
#define QMX_SERVICE_FILES_H_

#include <sys/types.h>

#include <string>

#include "common/safe_files.h"

namespace qmx {
namespace service {

// The socket's and the state's folders are made, or refused when they
// cannot be trusted, by the one rule for every file (PrepareFolder).
inline bool MakeDirs(const std::string& dir, mode_t mode, std::string* error) {
  return PrepareFolder(dir, mode, error);
}

// Makes any bytes one line of text: "\" becomes "\\" and every control byte
// "\xHH". UnescapeLine reverses it; it fails on a raw control byte or a
// broken escape.
std::string EscapeLine(const std::string& text);
bool UnescapeLine(const std::string& line, std::string* text);

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_FILES_H_
