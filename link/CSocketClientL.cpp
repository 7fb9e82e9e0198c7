#include "link/CSocketClient.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "host/file_transfer.h"
#include "host/utility.h"

namespace {

const char kComponentName[] = "umprovider";
const char kConfigPath[] = "/opt/veltrax/qmx/um/SocketConfig.ini";

}  // namespace

CSocketClient::CSocketClient()
    : m_pFileTransfer(new CFileTransfer(kComponentName, kConfigPath)) {}

CSocketClient::~CSocketClient() {
  if (m_pFileTransfer != nullptr) delete m_pFileTransfer;
}

int CSocketClient::Send(const void*, int, int) { return -1; }
int CSocketClient::Receive(void*, int, int) { return -1; }

bool CSocketClient::Initialize() { return true; }
bool CSocketClient::Create() { return true; }
bool CSocketClient::Connect() { return true; }
void CSocketClient::Disconnect() {}
void CSocketClient::Deinitialize() {}

bool CSocketClient::Send(std::string strMessage) {
  return m_pFileTransfer->SendMessage(std::move(strMessage)) != -1;
}

bool CSocketClient::Receive(std::string* pstrReply) {
  // A fresh buffer per reply: a failed allocation is a failed receive, not
  // an exception for the host.
  std::unique_ptr<char[]> pBuffer;
  try {
    pBuffer.reset(new char[kReceiveBufferSize]);
  } catch (const std::bad_alloc&) {
    CTraceUtility::WriteDebug(kComponentName, TRACE_ERROR, "%s %s",
                              "bool CSocketClient::Receive(std::string*)",
                              "bad_alloc error");
    return false;
  }
  // A transport that reports success without writing leaves an empty reply,
  // not whatever the memory held.
  pBuffer[0] = '\0';
  int nReceived =
      m_pFileTransfer->RecvMessage(pBuffer.get(), kReceiveBufferSize, 0);
  if (nReceived == -1) return false;
  pstrReply->assign(pBuffer.get(), strnlen(pBuffer.get(), kReceiveBufferSize));
  return true;
}
