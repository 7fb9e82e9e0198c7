// The dpkg status database, read as dpkg reads it: stanzas of fields ended
// by blank lines, field names in any letter case, and a package counted as
// installed in every state in which its files are on disk. The runtime's
// package query and qmx-call --check both read it here, so that they never
// disagree about a package.

#ifndef QMX_COMMON_DPKG_STATUS_H_
#define QMX_COMMON_DPKG_STATUS_H_

#include <string>

namespace qmx {

constexpr char kDpkgStatusFile[] = "/var/lib/dpkg/status";

// The fields of one stanza that tell whether and which version of a
// package is installed.
struct PackageRecord {
  std::string package;  // empty: no stanza of the name
  std::string status;   // "<want> <flag> <state>"
  std::string version;
};

// True when status names a state in which the package's files are on disk:
// unpacked and every state after it, whatever the package is wanted or
// flagged as ("hold ok installed", "deinstall ok installed", "install ok
// triggers-pending"). Not installed, config files only, half installed and
// a Status that is not three of dpkg's words are not.
bool FilesInstalled(const std::string& status);

// Reads the status file at path (a shared file, as safe_files.h reads
// one) for the stanzas of name, which has one per architecture: *record is
// the first whose files are installed, or else the last one of the name,
// whose status says why it is not. Returns 0, or the errno of a file that
// cannot be read with *error saying why.
int FindPackage(const std::string& path, const std::string& name,
                PackageRecord* record, std::string* error);

}  // namespace qmx

#endif  // QMX_COMMON_DPKG_STATUS_H_
