// The provider of the management class "VELTRAX_UpdateManager". Each method
// call becomes one request to the local update service; the service's reply
// becomes the method's return value and output parameters.

#ifndef QMX_PROVIDER_UPDATEMANAGER_H_
#define QMX_PROVIDER_UPDATEMANAGER_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "host/provider_base.h"
#include "host/wbem.h"

class CSocketClient;
class COpenLinkScope;
class COperationTrace;
struct CLinkFailureTexts;
class CRequestCycle;

// Result codes of the operations; the dispatcher stores them as the method's
// unsigned 32-bit return value. Any other value is the service's own code.
const long kResultSuccess = 0;
const long kResultTransferFailed = 0x1001;   // not sent, or no reply
const long kResultLinkInUse = 0x1002;        // another cycle holds the link
const long kResultNotInstalled = 0x1003;     // the service is not installed
const long kResultFailed = static_cast<int32_t>(0x80000001u);
const long kResultException = static_cast<int32_t>(0x80000002u);

class CVELTRAX_UpdateManager : public CVELTRAX_SysService {
 public:
  CVELTRAX_UpdateManager();
  ~CVELTRAX_UpdateManager() override;

  CVELTRAX_UpdateManager(const CVELTRAX_UpdateManager&) = delete;
  CVELTRAX_UpdateManager& operator=(const CVELTRAX_UpdateManager&) = delete;

  HRESULT ExecMethodAsync(char* pszObjectPath, char* pszMethodName,
                          long lFlags, IWbemContext* pContext,
                          IWbemClassObject* pInParams,
                          IWbemObjectSink* pSink) override;

  // One operation per method; each takes the input-parameter object and the
  // output instance and returns a result code.
  long GetQmxStatus(IWbemClassObject* pInParams, IWbemClassObject* pOutParams);
  long ExecuteReboot(IWbemClassObject* pInParams, IWbemClassObject* pOutParams);
  long NoticeModuleUpdate(IWbemClassObject* pInParams,
                          IWbemClassObject* pOutParams);
  long DownloadAll(IWbemClassObject* pInParams, IWbemClassObject* pOutParams);
  long UpdateAll(IWbemClassObject* pInParams, IWbemClassObject* pOutParams);
  long RollbackAll(IWbemClassObject* pInParams, IWbemClassObject* pOutParams);
  long GetAutoDownloadSetting(IWbemClassObject* pInParams,
                              IWbemClassObject* pOutParams);
  long SetAutoDownloadSetting(IWbemClassObject* pInParams,
                              IWbemClassObject* pOutParams);
  long GetAutoUpdateSetting(IWbemClassObject* pInParams,
                            IWbemClassObject* pOutParams);
  long SetAutoUpdateSetting(IWbemClassObject* pInParams,
                            IWbemClassObject* pOutParams);

  // The service link of one request cycle. SocketClientInitialize sets
  // *plSocketCompetition to 1 when another cycle already holds the link.
  bool SocketClientInitialize(long* plSocketCompetition);
  void SocketClientDeinitialize();
  bool SendMessage(std::string strSendMessage);
  bool ReceiveMessage(std::string* pstrReceiveMessage);

  // True when the update service package is installed.
  bool CheckUmInstall();
  // The items of a parameter list in message order, unescaped.
  std::list<std::string> GetParameter(std::string strParameter);
  // GetParameter for a list that must hold nItems items: true and the items
  // when it does; otherwise false, traced alike but with no item kept, so
  // that a reply of nothing but separators costs no memory per item.
  bool GetParameterOf(std::string strParameter, size_t nItems,
                      std::vector<std::string>* pvecItems);

 private:
  // The steps every request shares: install check, input, link, request,
  // reply checks, body. Each operation gives only what is its own.
  long RunRequestCycle(CRequestCycle* pCycle);
  // Splits strParameter with GetParameter's traces into *pItems (a list or
  // a vector of strings); null pItems: the items are not kept.
  template <typename TItems>
  void SplitParameter(const std::string& strParameter, TItems* pItems);
  // Opens the link and hands it to pLink; 0, or the result code the
  // operation ends with.
  long OpenLink(const COperationTrace& objTrace, COpenLinkScope* pLink);
  // Sends the request and receives the reply over the open link, and closes
  // it; 0, or the result code the operation ends with.
  long Exchange(const COperationTrace& objTrace, COpenLinkScope* pLink,
                std::string strSendMessage,
                std::string* pstrReceiveMessage,
                const CLinkFailureTexts& objTexts);
  // SocketClientDeinitialize for the cycle whose client is *ppClient.
  // *ppClient is null from the moment that client is gone, before the
  // "[END]" line, so that an exception there leaves nothing to close.
  void DeinitializeLink(CSocketClient** ppClient);
  // If the link still holds *ppClient, deletes that client and then gives
  // the link back, without a trace; never another cycle's. *ppClient
  // becomes null.
  void CloseLink(CSocketClient** ppClient) noexcept;
  friend class COpenLinkScope;

  // Only SocketClientInitialize sets it, its test and its setting one
  // atomic step; only the cycle holding it clears it, once its client is
  // deleted.
  std::atomic<CSocketClient*> m_pSocketClient;
};

#endif  // QMX_PROVIDER_UPDATEMANAGER_H_
