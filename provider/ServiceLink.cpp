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
alignas(CSocketClient) char g_linkClaimTag;
CSocketClient* const kLinkClaimed =
    reinterpret_cast<CSocketClient*>(&g_linkClaimTag);

// Gives a claimed link back if building its client throws, so that the
// provider is not left refusing every later cycle.
class LinkClaim {
 public:
  explicit LinkClaim(std::atomic<CSocketClient*>* link) : m_link(link) {}
  ~LinkClaim() {
    if (!m_filled) m_link->store(nullptr);
  }
  void Fill(CSocketClient* client) {
    m_link->store(client);
    m_filled = true;
  }

 private:
  std::atomic<CSocketClient*>* m_link;
  bool m_filled = false;
};

}  // namespace

bool CVELTRAX_UpdateManager::SocketClientInitialize(long* plSocketCompetition) {
  OperationTrace trace("CVELTRAX_UpdateManager::SocketClientInitialize()");
  trace.Start();
  bool opened = ClaimLink(plSocketCompetition, trace);
  trace.End();
  return opened;
}

bool CVELTRAX_UpdateManager::ClaimLink(long* plSocketCompetition,
                                       const OperationTrace& trace) {
  CSocketClient* expected = nullptr;
  if (!m_pSocketClient.compare_exchange_strong(expected, kLinkClaimed)) {
    *plSocketCompetition = 1;
    trace.Write(TRACE_ERROR, "socket competition error");
    return false;
  }
  LinkClaim claim(&m_pSocketClient);
  // A failed allocation or transport throws; the dispatcher reports it.
  CSocketClient* client = new CSocketClient();
  claim.Fill(client);
  if (client == nullptr) {
    trace.Write(TRACE_ERROR, "new CSocketClient is failed");
    return false;
  }
  if (!client->Initialize()) {
    // The client stays in place for the caller's SocketClientDeinitialize.
    trace.Write(TRACE_ERROR, "Initialize is failed");
    return false;
  }
  return true;
}

void CVELTRAX_UpdateManager::SocketClientDeinitialize() {
  OperationTrace trace("CVELTRAX_UpdateManager::SocketClientDeinitialize()");
  trace.Start();
  CSocketClient* client = m_pSocketClient.load();
  if (client != nullptr && client != kLinkClaimed) {
    client->Deinitialize();
    delete client;
    m_pSocketClient.store(nullptr);
  }
  trace.End();
}

bool CVELTRAX_UpdateManager::SendMessage(std::string strSendMessage) {
  OperationTrace trace("CVELTRAX_UpdateManager::SendMessage()");
  CSocketClient* client = m_pSocketClient.load();
  if (!client->Connect()) {
    trace.Write(TRACE_ERROR, "Connect is failed");
    trace.End();
    return false;
  }
  if (client->Send(std::move(strSendMessage))) return true;
  trace.Write(TRACE_ERROR, "Send is failed");
  client->Disconnect();
  return false;
}

bool CVELTRAX_UpdateManager::ReceiveMessage(std::string* pstrReceiveMessage) {
  OperationTrace trace("CVELTRAX_UpdateManager::ReceiveMessage()");
  CSocketClient* client = m_pSocketClient.load();
  bool received = client->Receive(pstrReceiveMessage);
  if (!received) trace.Write(TRACE_ERROR, "Receive is failed");
  client->Disconnect();
  return received;
}
