// What a CFileTransfer talks through: one request out, one reply back. The
// socket channel is the real one; a test seam may hand out scripted ones
// instead (see ScriptedTransport). Nothing here is exported.

#ifndef QMX_RUNTIME_TRANSPORT_CHANNEL_H_
#define QMX_RUNTIME_TRANSPORT_CHANNEL_H_

#include <memory>
#include <string>

namespace qmx {

// The contract of CFileTransfer::SendMessage and RecvMessage
// (host/file_transfer.h).
class TransportChannel {
 public:
  virtual ~TransportChannel() = default;
  virtual int Send(const std::string& message) = 0;
  virtual int Receive(char* buffer, int size, int timeoutMs) = 0;
};

// The channel for a new CFileTransfer: a test seam's when one is attached
// and wants it, a Unix-domain socket channel otherwise.
std::unique_ptr<TransportChannel> MakeTransportChannel(
    const std::string& componentName, const std::string& configPath);

std::unique_ptr<TransportChannel> MakeSocketChannel(
    const std::string& componentName, const std::string& configPath);

}  // namespace qmx

#endif  // QMX_RUNTIME_TRANSPORT_CHANNEL_H_
