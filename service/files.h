// An escape that keeps any value of the service's files on one text line.
// Opening, writing and replacing those files goes through
// common/safe_files.h.

#ifndef QMX_SERVICE_FILES_H_
#define QMX_SERVICE_FILES_H_

#include <string>

namespace qmx {
namespace service {

// Makes any bytes one line of text: "\" becomes "\\" and every control byte
// "\xHH". UnescapeLine reverses it; it fails on a raw control byte or a
// broken escape.
std::string EscapeLine(const std::string& text);
bool UnescapeLine(const std::string& line, std::string* text);

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_FILES_H_
