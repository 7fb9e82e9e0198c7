#include "host/file_transfer.h"

#include "runtime/transport_channel.h"

CFileTransfer::CFileTransfer(std::string componentName, std::string configPath)
    : m_channel(qmx::MakeTransportChannel(componentName, configPath)) {}

CFileTransfer::~CFileTransfer() = default;

int CFileTransfer::SendMessage(std::string message) {
  return m_channel->Send(message);
}

int CFileTransfer::RecvMessage(char* buffer, int size, int timeoutMs) {
  return m_channel->Receive(buffer, size, timeoutMs);
}
