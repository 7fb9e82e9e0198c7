// The least a client of the update service can do for one request: connect,
// write, shut down writing, read until the service closes, close. It is the
// floor that the provider's full cycle is measured against.

#ifndef QMX_BENCH_FLOOR_CLIENT_H_
#define QMX_BENCH_FLOOR_CLIENT_H_

#include <string>

namespace qmx {
namespace bench {

// How the reply is read: as it comes, or as the provider's link must read
// every reply: into a fresh 4 MiB array from new[], the text copied out of
// it, the array freed.
enum class ReplyBuffer { kAsItComes, kFreshPerReply };

// Sends request to the service listening on socket_path and returns its
// reply; throws std::runtime_error on any failure.
std::string FloorExchange(const std::string& socket_path,
                          const std::string& request,
                          ReplyBuffer buffer = ReplyBuffer::kAsItComes);

}  // namespace bench
}  // namespace qmx

#endif  // QMX_BENCH_FLOOR_CLIENT_H_
