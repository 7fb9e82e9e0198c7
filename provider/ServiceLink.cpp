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

// Deletes pOwn's client (none while only claimed), then gives the link
// back, if the link still holds pOwn: a link another cycle holds is left
// alone. Only the holder changes a held link, so nothing can take it
// between the test and the release, and no new client is made before the
// old one is gone.
void ReleaseLink(std::atomic<CSocketClient*>* pLink,
                 CSocketClient* pOwn) noexcept {
  if (pOwn == nullptr || pLink->load() != pOwn) return;
  if (pOwn != kLinkClaimed) {
    pOwn->Deinitialize();
    delete pOwn;
  }
  pLink->store(nullptr);
}

// Holds the link for SocketClientInitialize from the moment its claim
// succeeds: should building the client or a trace line up to the return
// throw, the link is given back instead of refusing every later cycle.
class CLinkClaim {
 public:
  explicit CLinkClaim(std::atomic<CSocketClient*>* pLink) : m_pLink(pLink) {}
  ~CLinkClaim() { ReleaseLink(m_pLink, m_pOwn); }
  CLinkClaim(const CLinkClaim&) = delete;
  CLinkClaim& operator=(const CLinkClaim&) = delete;

  // Claims the link if it is free; the test and the claim are one step.
  bool Claim() {
    CSocketClient* pExpected = nullptr;
    if (!m_pLink->compare_exchange_strong(pExpected, kLinkClaimed)) return false;
    m_pOwn = kLinkClaimed;
    return true;
  }
  void Fill(CSocketClient* pClient) {
    m_pLink->store(pClient);
    m_pOwn = pClient;
  }
  // SocketClientInitialize returns: the link is its cycle's now.
  void Keep() { m_pOwn = nullptr; }

 private:
  std::atomic<CSocketClient*>* m_pLink;
  CSocketClient* m_pOwn = nullptr;
};

// The claim, and the client built for it.
bool ClaimLink(long* plSocketCompetition, const COperationTrace& objTrace,
               CLinkClaim* pClaim) {
  if (!pClaim->Claim()) {
    *plSocketCompetition = 1;
    objTrace.Write(TRACE_ERROR, "socket competition error");
    return false;
  }
  // A failed allocation or transport throws; the dispatcher reports it.
  CSocketClient* pClient = new CSocketClient();
  pClaim->Fill(pClient);
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

}  // namespace

bool CVELTRAX_UpdateManager::SocketClientInitialize(long* plSocketCompetition) {
  COperationTrace objTrace("CVELTRAX_UpdateManager::SocketClientInitialize()");
  objTrace.Start();
  CLinkClaim objClaim(&m_pSocketClient);
  bool bOpened = ClaimLink(plSocketCompetition, objTrace, &objClaim);
  objTrace.End();
  objClaim.Keep();
  return bOpened;
}

// Only the cycle that holds the link calls it.
void CVELTRAX_UpdateManager::SocketClientDeinitialize() {
  CSocketClient* pHeld = m_pSocketClient.load();
  DeinitializeLink(&pHeld);
}

void CVELTRAX_UpdateManager::DeinitializeLink(CSocketClient** ppClient) {
  COperationTrace objTrace("CVELTRAX_UpdateManager::SocketClientDeinitialize()");
  objTrace.Start();
  CloseLink(ppClient);
  objTrace.End();
}

void CVELTRAX_UpdateManager::CloseLink(CSocketClient** ppClient) noexcept {
  ReleaseLink(&m_pSocketClient, std::exchange(*ppClient, nullptr));
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
