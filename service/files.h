// Helpers for the files the service keeps: folders made on demand, durable
// replacement, and an escape that keeps any value on one text line.

#ifndef QMX_SERVICE_FILES_H_
#define QMX_SERVICE_FILES_H_

#include <sys/types.h>

#include <string>

namespace qmx {
namespace service {

// strerror(error) as a std::string.
std::string ErrorText(int error);

// The folder part of path ("." when there is none).
std::string DirName(const std::string& path);

// Makes dir with mode, and any missing parents with 0755 (like mkdir -p -m);
// existing folders are left as they are.
bool MakeDirs(const std::string& dir, mode_t mode, std::string* error);

// Writes all of data to fd, retrying short writes.
bool WriteAll(int fd, const std::string& data);

// Reads the whole file. Returns 0 or the errno of the failure (ENOENT when it
// does not exist).
int ReadWholeFile(const std::string& path, std::string* content);

// Replaces path with content so that a crash at any moment leaves either the
// old or the new file: a temporary file in the same folder is written and
// synced, renamed over path, and the folder is synced.
bool ReplaceFileDurably(const std::string& path, const std::string& content,
                        mode_t mode, std::string* error);

// Makes any bytes one line of text: "\" becomes "\\" and every control byte
// "\xHH". UnescapeLine reverses it; it fails on a raw control byte or a
// broken escape.
std::string EscapeLine(const std::string& text);
bool UnescapeLine(const std::string& line, std::string* text);

}  // namespace service
}  // namespace qmx

#endif  // QMX_SERVICE_FILES_H_
