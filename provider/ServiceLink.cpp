// The service link operations of the provider: open, send, receive, close.

#include <utility>

#include "host/utility.h"
#include "link/CSocketClient.h"
#include "provider/OperationTrace.h"
#include "provider/UpdateManager.h"

namespace {

// Stands in m_pSocketClient while the claiming cycle builds its client, so
// that the test for a free link and the claim are one atomic step. Never
// dereferenced.
alignas(CSocketClient) char g_chLinkClaimTag;
CSocketClient* const kLinkClaimed =
    reinterpret_cast<CSocketClient*>(&g_chLinkClaimTag);

// Gives a claimed link back if building its client throws, so that the
// provider is not left refusing every later cycle.
class CLinkClaim {
 public:
  explicit CLinkClaim(std::atomic<CSocketClient*>* pLink) : m_pLink(pLink) {}
  ~CLinkClaim() {
    if (!m_bFilled) m_pLink->store(nullptr);
  }
  void Fill(CSocketClient* pClient) {
    m_pLink->store(pClient);
    m_bFilled = true;
  }

 private:
  std::atomic<CSocketClient*>* m_pLink;
  bool m_bFilled = false;
};

}  // namespace

bool CVELTRAX_UpdateManager::SocketClientInitialize(long* plSocketCompetition) {
  COperationTrace objTrace("CVELTRAX_UpdateManager::SocketClientInitialize()");
  objTrace.Start();
  bool bOpened = ClaimLink(plSocketCompetition, objTrace);
  objTrace.End();
  return bOpened;
}

bool CVELTRAX_UpdateManager::ClaimLink(long* plSocketCompetition,
                                       const COperationTrace& objTrace) {
  CSocketClient* pExpected = nullptr;
  if (!m_pSocketClient.compare_exchange_strong(pExpected, kLinkClaimed)) {
    *plSocketCompetition = 1;
    objTrace.Write(TRACE_ERROR, "socket competition error");
    return false;
  }
  CLinkClaim objClaim(&m_pSocketClient);
  // A failed allocation or transport throws; the dispatcher reports it.
  CSocketClient* pClient = new CSocketClient();
  objClaim.Fill(pClient);
  if (pClient == nullptr) {
    objTrace.Write(TRACE_ERROR, "new CSocketClient is failed");
    return false;
  }
  if (!pClient->Initialize()) {
    // The client stays in place for the caller's SocketClientDeinitialize.
    objTrace.Write(TRACE_ERROR, "Initialize is failed");
    return false;
  }
  return true;
}

void CVELTRAX_UpdateManager::SocketClientDeinitialize() {
  COperationTrace objTrace("CVELTRAX_UpdateManager::SocketClientDeinitialize()");
  objTrace.Start();
  CloseLink();
  objTrace.End();
}

void CVELTRAX_UpdateManager::CloseLink() noexcept {
  CSocketClient* pClient = m_pSocketClient.load();
  if (pClient == nullptr || pClient == kLinkClaimed) return;
  pClient->Deinitialize();
  delete pClient;
  m_pSocketClient.store(nullptr);
}

bool CVELTRAX_UpdateManager::SendMessage(std::string strSendMessage) {
  COperationTrace objTrace("CVELTRAX_UpdateManager::SendMessage()");
  CSocketClient* pClient = m_pSocketClient.load();
  if (!pClient->Connect()) {
    objTrace.Write(TRACE_ERROR, "Connect is failed");
    objTrace.End();
    return false;
  }
  if (pClient->Send(std::move(strSendMessage))) return true;
  objTrace.Write(TRACE_ERROR, "Send is failed");
  pClient->Disconnect();
  return false;
}

bool CVELTRAX_UpdateManager::ReceiveMessage(std::string* pstrReceiveMessage) {
  COperationTrace objTrace("CVELTRAX_UpdateManager::ReceiveMessage()");
  CSocketClient* pClient = m_pSocketClient.load();
  bool bReceived = pClient->Receive(pstrReceiveMessage);
  if (!bReceived) objTrace.Write(TRACE_ERROR, "Receive is failed");
  pClient->Disconnect();
  return bReceived;
}
