#include "tests/support/transport_counter.h"

#include <string>
#include <utility>

#include "runtime/transport_channel.h"

namespace qmx {
namespace support {
namespace {

// The real socket channel, counted from its construction to its end.
class CountedChannel : public TransportChannel {
 public:
  CountedChannel(std::unique_ptr<TransportChannel> inner,
                 std::shared_ptr<TransportCounter::Counts> counts)
      : inner_(std::move(inner)), counts_(std::move(counts)) {
    counts_->made++;
    int now = ++counts_->alive;
    int most = counts_->most_alive.load();
    while (now > most && !counts_->most_alive.compare_exchange_weak(most, now)) {
    }
  }
  ~CountedChannel() override { counts_->alive--; }

  int Send(const std::string& message) override {
    return inner_->Send(message);
  }
  int Receive(char* buffer, int size, int timeoutMs) override {
    return inner_->Receive(buffer, size, timeoutMs);
  }

 private:
  std::unique_ptr<TransportChannel> inner_;
  std::shared_ptr<TransportCounter::Counts> counts_;
};

}  // namespace

TransportCounter::TransportCounter()
    : counts_(std::make_shared<Counts>()) {
  std::shared_ptr<Counts> counts = counts_;
  SetTransportFactory([counts](const std::string& component,
                               const std::string& config) {
    return std::unique_ptr<TransportChannel>(new CountedChannel(
        MakeSocketChannel(component, config), counts));
  });
}

TransportCounter::~TransportCounter() { SetTransportFactory(nullptr); }

}  // namespace support
}  // namespace qmx
