// A dpkg status database of realistic size for the package query: many
// stanzas of about a KiB each, the update service's among them.

#ifndef QMX_BENCH_PACKAGE_DB_H_
#define QMX_BENCH_PACKAGE_DB_H_

#include <string>

namespace qmx {
namespace bench {

// count stanzas of installed packages, "qmxupdtmngr" (version 42.0-1) the
// one at nine tenths of the way.
std::string MakeStatusDatabase(int count);

// Sets the file's modification time seconds_ago into the past, as a file
// that has not changed for a while; throws when it cannot.
void AgeFile(const std::string& path, int seconds_ago);

}  // namespace bench
}  // namespace qmx

#endif  // QMX_BENCH_PACKAGE_DB_H_
