#include "runtime/transport_channel.h"

#include "runtime/testing/seams_internal.h"

namespace qmx {
namespace {

internal::TransportSeams g_seams = {&MakeSocketChannel, nullptr};

// Runs as the library starts, before any transport can be made.
[[maybe_unused]] const bool g_attached = [] {
  if (internal::AttachTransportSeams == nullptr) return false;
  internal::AttachTransportSeams(&g_seams);
  return true;
}();

}  // namespace

std::unique_ptr<TransportChannel> MakeTransportChannel(
    const std::string& componentName, const std::string& configPath) {
  if (g_seams.testChannel != nullptr) {
    std::unique_ptr<TransportChannel> channel =
        g_seams.testChannel(componentName, configPath);
    if (channel != nullptr) return channel;
  }
  return MakeSocketChannel(componentName, configPath);
}

}  // namespace qmx
