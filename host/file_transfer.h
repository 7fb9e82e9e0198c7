// The host framework's message transport: one request message out, one
// reply message back, over a Unix-domain stream socket.

#ifndef QMX_HOST_FILE_TRANSFER_H_
#define QMX_HOST_FILE_TRANSFER_H_

#include <memory>
#include <string>

#pragma GCC visibility push(default)

namespace qmx {
class TransportChannel;
}

// Reads its settings from the INI file at $QMX_ROOT + configPath, section
// [Socket]: Path (the service's socket, under $QMX_ROOT; default
// /var/run/qmx/qmxupdtmngr.sock), ConnectTimeoutMs (5000), SendTimeoutMs
// (5000) and ReceiveTimeoutMs (600000). A missing file or key means the
// default; a malformed value is traced and means the default.
//
// Wire protocol: one connection per request. SendMessage connects, writes the
// whole message and shuts down its write side; RecvMessage reads until the
// peer closes.
class CFileTransfer {
 public:
  CFileTransfer(std::string componentName, std::string configPath);
  virtual ~CFileTransfer();

  CFileTransfer(const CFileTransfer&) = delete;
  CFileTransfer& operator=(const CFileTransfer&) = delete;

  // The byte count sent, or -1 when the message could not be sent whole.
  int SendMessage(std::string message);

  // Reads the reply of the last SendMessage into buffer, followed by a NUL,
  // and returns its byte count; -1 on any failure (no connection, refused,
  // time-out, reset, a peer that closes without a byte, or a reply that does
  // not fit in size - 1 bytes). Nothing is written past buffer[size - 1].
  // timeoutMs: the receive time-out for this call in milliseconds; 0 means
  // the configured ReceiveTimeoutMs.
  int RecvMessage(char* buffer, int size, int timeoutMs);

 private:
  std::unique_ptr<qmx::TransportChannel> m_channel;
};

#pragma GCC visibility pop

#endif  // QMX_HOST_FILE_TRANSFER_H_
