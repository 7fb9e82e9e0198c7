// Counts the transports (CFileTransfer instances) the runtime makes while
// it is alive, each one still the real socket channel: how many are alive
// now and the most that were alive at one time. A provider that keeps its
// one-link rule never has more than one.

#ifndef QMX_TESTS_SUPPORT_TRANSPORT_COUNTER_H_
#define QMX_TESTS_SUPPORT_TRANSPORT_COUNTER_H_

#include <atomic>
#include <memory>

namespace qmx {
namespace support {

class TransportCounter {
 public:
  // The counts; shared with every transport made, so that one outliving
  // the counter still has somewhere to report.
  struct Counts {
    std::atomic<int> made{0};
    std::atomic<int> alive{0};
    std::atomic<int> most_alive{0};
  };

  // Installs the counting factory; no other factory may be installed.
  TransportCounter();
  // Goes back to plain sockets.
  ~TransportCounter();
  TransportCounter(const TransportCounter&) = delete;
  TransportCounter& operator=(const TransportCounter&) = delete;

  int made() const { return counts_->made.load(); }
  int alive() const { return counts_->alive.load(); }
  int most_alive() const { return counts_->most_alive.load(); }

 private:
  std::shared_ptr<Counts> counts_;
};

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_TRANSPORT_COUNTER_H_
