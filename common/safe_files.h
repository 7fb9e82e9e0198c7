// The one way the host runtime, the update service and qmx-call open the
// files they keep and read, so that a symbolic link, a FIFO, a folder or
// another user's file planted where one of ours belongs is refused instead
// of being followed, blocked on or written to.
//
// Trusted folder: a folder owned by root or by this process's user that no
// one else can write, unless its sticky bit keeps others from renaming or
// removing what is not theirs (/tmp). Everything we write must lie in a
// chain of trusted folders from "/" down, symbolic links resolved.
//
// Every failure leaves a message in *error that names the file or folder.

#ifndef QMX_COMMON_SAFE_FILES_H_
#define QMX_COMMON_SAFE_FILES_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace qmx {

// strerror(error) as a std::string.
std::string ErrorText(int error);

// A file's permission bits as four octal digits ("0644").
std::string ModeText(mode_t mode);

// The folder part of path ("." when there is none).
std::string DirName(const std::string& path);

// Why dir, symbolic links resolved, or a folder above it is not a trusted
// folder; "" when every one of them is.
std::string DistrustFolderChain(const std::string& dir);

// Opens /dev/null on each of descriptors 0-2 that is closed, so that no
// file or socket opened later takes that number and receives what is meant
// for a standard stream. Returns the closed ones as a mask (bit n for
// descriptor n), or -1 with errno when /dev/null cannot be opened in place
// of one. Run it first, before anything opens a file.
int FillClosedStandardDescriptors();

// Makes dir and its missing parents (like mkdir -p): dir itself gets mode,
// parents 0755. Refused, before anything is made, when an existing folder
// on the way is not trusted; false with *error when it cannot be made. An
// existing dir that grants more than mode is tightened to it when it is
// this user's and holds only this user's regular files (what we keep),
// and left as it is otherwise (a shared folder).
bool PrepareFolder(const std::string& dir, mode_t mode, std::string* error);

// Opens path for writing (and reading, so that a writer can see how the
// file ends) with the extra flags (O_APPEND), creating it 0600 when
// missing. Refuses a symbolic link, anything but a regular file (without
// waiting on a FIFO), a file another user owns or that group or others may
// write, and a file with more than one hard link. What we write may be a
// secret: a file of ours that others may read is made 0600 first. The
// folder is not checked: see PrepareFolder.
// Returns the descriptor (close-on-exec, blocking) or -1.
int OpenForWriting(const std::string& path, int flags, std::string* error);

// Writes all of data, resuming after EINTR and partial writes; false with
// errno set (EIO when the file takes no more bytes without saying why).
bool WriteAll(int fd, const std::string& data);

// Appends data, one whole line or several, with a single write, so that
// it never meets another writer's bytes halfway. A write cut short is
// taken back (the file is truncated to its length before) and reported.
// Concurrent appenders to the same file must be serialised by the caller.
bool AppendWhole(int fd, const std::string& data, const std::string& path,
                 std::string* error);

// Replaces path with content so that a crash at any moment leaves either
// the old file or the new one: a temporary file of a unique name (0600) is
// written and synced in path's folder, renamed over path, and the folder is
// synced. The temporary file never outlives a failure. True once the new
// file is in place: it is then the file, even when the folder's sync
// failed; *error then says so (and is empty otherwise), since the rename
// may not survive a power loss. The temporary file is named after
// temporary_of when given (see RemoveStaleTemporaries), else after path.
bool ReplaceFileDurably(const std::string& path, const std::string& content,
                        std::string* error, const std::string& temporary_of = "");

// Tests only: when set, called in place of fsync() on the folder after a
// replacing rename.
extern int (*g_sync_folder_for_tests)(int fd);

// Takes an exclusive flock() on path (made through OpenForWriting) without
// waiting. Returns the descriptor, which holds the lock until it is closed,
// or -1 with *error and errno: EWOULDBLOCK when another process holds it
// ("held by another process"), EPERM when the file was refused.
int LockFile(const std::string& path, std::string* error);

// Removes temporary files that ReplaceFileDurably left for path when the
// process died before renaming one.
void RemoveStaleTemporaries(const std::string& path);

// Rules for a file we read.
enum class ReadRule {
  kShared,   // owned by root or us; a link to such a file is followed
  kPrivate,  // one we write: owned by root or us, never a symbolic link,
             // and with no other hard link
};

// Opens path for reading: a regular file, owned and writable as the rule
// says, in a trusted folder; a FIFO is refused without waiting for a
// writer. Returns the descriptor (close-on-exec, blocking) or -1 with
// errno (ENOENT: it does not exist) and *error.
int OpenForReading(const std::string& path, ReadRule rule, std::string* error);

// Reads the whole file through OpenForReading. A file larger than limit
// bytes is refused with a message naming the limit. Returns 0, or the
// errno of the failure (ENOENT when the file does not exist, EFBIG when
// it is too large).
int ReadFileBounded(const std::string& path, size_t limit, ReadRule rule,
                    std::string* content, std::string* error);

}  // namespace qmx

#endif  // QMX_COMMON_SAFE_FILES_H_
