#include "runtime/transport_channel.h"

#include <mutex>

namespace qmx {
namespace {

std::mutex g_mutex;
TransportFactory g_factory;

}  // namespace

std::unique_ptr<TransportChannel> MakeTransportChannel(
    const std::string& componentName, const std::string& configPath) {
  TransportFactory factory;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    factory = g_factory;
  }
  if (factory) return factory(componentName, configPath);
  return MakeSocketChannel(componentName, configPath);
}

void SetTransportFactory(TransportFactory factory) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_factory = std::move(factory);
}

}  // namespace qmx
