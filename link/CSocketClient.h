// The service link of one request cycle: wraps one host transport and moves
// whole messages as std::string. The connection itself lives in the
// transport, so Connect, Disconnect, Initialize and Deinitialize mark the
// places of the link protocol without doing work.

#ifndef QMX_LINK_CSOCKETCLIENT_H_
#define QMX_LINK_CSOCKETCLIENT_H_

#include <string>

class CFileTransfer;

class CSocketClient {
 public:
  // Every reply must fit in this buffer together with its terminating NUL.
  static const int kReceiveBufferSize = 0x400000;

  CSocketClient();
  virtual ~CSocketClient();

  CSocketClient(const CSocketClient&) = delete;
  CSocketClient& operator=(const CSocketClient&) = delete;

  // Raw-buffer slots kept for the link's interface; the library never uses
  // them and they always fail.
  virtual int Send(const void* pData, int nLength, int nFlags);
  virtual int Receive(void* pData, int nLength, int nFlags);

  bool Initialize();
  bool Create();
  bool Connect();
  void Disconnect();
  void Deinitialize();

  // True unless the transport reports -1.
  bool Send(std::string strMessage);
  // Replaces *pstrReply with the received text up to its first NUL; leaves
  // it unchanged when nothing was received.
  bool Receive(std::string* pstrReply);

 private:
  CFileTransfer* m_pFileTransfer;
};

#endif  // QMX_LINK_CSOCKETCLIENT_H_
