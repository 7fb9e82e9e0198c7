// What a CFileTransfer talks through: one request out, one reply back. The
// socket channel is the real one; tests and tools install a factory that
// makes scripted ones instead (see ScriptedTransport).

#ifndef QMX_RUNTIME_TRANSPORT_CHANNEL_H_
#define QMX_RUNTIME_TRANSPORT_CHANNEL_H_

#include <functional>
#include <memory>
#include <string>

#pragma GCC visibility push(default)

namespace qmx {

// The contract of CFileTransfer::SendMessage and RecvMessage
// (host/file_transfer.h).
class TransportChannel {
 public:
  virtual ~TransportChannel() = default;
  virtual int Send(const std::string& message) = 0;
  virtual int Receive(char* buffer, int size, int timeoutMs) = 0;
};

using TransportFactory = std::function<std::unique_ptr<TransportChannel>(
    const std::string& componentName, const std::string& configPath)>;

// The channel for a new CFileTransfer: from the installed factory, or a
// Unix-domain socket channel when none is installed.
std::unique_ptr<TransportChannel> MakeTransportChannel(
    const std::string& componentName, const std::string& configPath);

// Installs factory for every CFileTransfer made from now on; an empty one
// goes back to sockets.
void SetTransportFactory(TransportFactory factory);

std::unique_ptr<TransportChannel> MakeSocketChannel(
    const std::string& componentName, const std::string& configPath);

}  // namespace qmx

#pragma GCC visibility pop

#endif  // QMX_RUNTIME_TRANSPORT_CHANNEL_H_
