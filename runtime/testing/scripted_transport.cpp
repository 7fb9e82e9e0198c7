#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "runtime/testing/attached.h"

namespace qmx {
namespace testing {
namespace {

std::mutex g_factoryMutex;
TransportFactory g_factory;

// What a ScriptedTransport queues and records. Channels share it, so one
// that outlives its script still has somewhere to report to.
struct Script {
  std::mutex mutex;
  std::deque<Exchange> queue;
  std::vector<std::string> requests;
  int constructed = 0;
  int alive = 0;
  int mostAlive = 0;
  std::string lastComponentName;
  std::string lastConfigPath;
};

// Plays one queued exchange; without one, every call fails.
class ScriptedChannel : public TransportChannel {
 public:
  ScriptedChannel(std::shared_ptr<Script> script,
                  const std::string& componentName,
                  const std::string& configPath);
  ~ScriptedChannel() override;

  int Send(const std::string& message) override;
  int Receive(char* buffer, int size, int timeoutMs) override;

 private:
  std::shared_ptr<Script> m_script;
  bool m_hasExchange = false;
  Exchange m_exchange;
};

ScriptedChannel::ScriptedChannel(std::shared_ptr<Script> script,
                                 const std::string& componentName,
                                 const std::string& configPath)
    : m_script(std::move(script)) {
  std::lock_guard<std::mutex> lock(m_script->mutex);
  ++m_script->constructed;
  m_script->mostAlive = std::max(m_script->mostAlive, ++m_script->alive);
  m_script->lastComponentName = componentName;
  m_script->lastConfigPath = configPath;
  if (m_script->queue.empty()) return;
  m_exchange = std::move(m_script->queue.front());
  m_script->queue.pop_front();
  m_hasExchange = true;
}

ScriptedChannel::~ScriptedChannel() {
  if (m_exchange.whenClosed) m_exchange.whenClosed();
  std::lock_guard<std::mutex> lock(m_script->mutex);
  --m_script->alive;
}

int ScriptedChannel::Send(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(m_script->mutex);
    m_script->requests.push_back(message);
  }
  if (!m_hasExchange) return -1;
  if (m_exchange.sendResult == Exchange::kMessageLength) {
    return static_cast<int>(message.size());
  }
  return m_exchange.sendResult;
}

int ScriptedChannel::Receive(char* buffer, int size, int) {
  if (buffer == nullptr || size < 1) return -1;
  if (m_hasExchange && m_exchange.writesNothing) return m_exchange.recvResult;
  buffer[0] = '\0';  // as the socket channel leaves it on failure
  if (!m_hasExchange) return -1;
  size_t copied = std::min(m_exchange.reply.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, m_exchange.reply.data(), copied);
  buffer[copied] = '\0';
  if (m_exchange.duringReceive) m_exchange.duringReceive();
  if (m_exchange.recvResult == Exchange::kReplyLength) {
    return static_cast<int>(copied);
  }
  return m_exchange.recvResult;
}

std::mutex g_mutex;
std::shared_ptr<Script> g_script;

std::shared_ptr<Script> Current() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_script;
}

// One field of the live script, read under its lock.
template <typename T>
T ReadScript(T Script::*field) {
  auto script = Current();
  std::lock_guard<std::mutex> lock(script->mutex);
  return (*script).*field;
}

}  // namespace

namespace detail {

// Null without a factory: the runtime then makes its socket channel.
std::unique_ptr<TransportChannel> TestChannel(const std::string& componentName,
                                              const std::string& configPath) {
  TransportFactory factory;
  {
    std::lock_guard<std::mutex> lock(g_factoryMutex);
    factory = g_factory;
  }
  if (!factory) return nullptr;
  return factory(componentName, configPath);
}

}  // namespace detail

void SetTransportFactory(TransportFactory factory) {
  std::lock_guard<std::mutex> lock(g_factoryMutex);
  g_factory = std::move(factory);
}

std::unique_ptr<TransportChannel> MakeSocketChannel(
    const std::string& componentName, const std::string& configPath) {
  return detail::TransportHooks().socketChannel(componentName, configPath);
}

ScriptedTransport::ScriptedTransport() {
  auto script = std::make_shared<Script>();
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script = script;
  }
  SetTransportFactory([script](const std::string& componentName,
                               const std::string& configPath) {
    return std::make_unique<ScriptedChannel>(script, componentName, configPath);
  });
}

ScriptedTransport::~ScriptedTransport() {
  SetTransportFactory(nullptr);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_script.reset();
}

void ScriptedTransport::Push(Exchange exchange) {
  auto script = Current();
  std::lock_guard<std::mutex> lock(script->mutex);
  script->queue.push_back(std::move(exchange));
}

void ScriptedTransport::PushReply(const std::string& reply) {
  Exchange exchange;
  exchange.sendResult = Exchange::kMessageLength;
  exchange.reply = reply;
  Push(std::move(exchange));
}

std::vector<std::string> ScriptedTransport::Requests() const {
  return ReadScript(&Script::requests);
}

int ScriptedTransport::Constructed() const {
  return ReadScript(&Script::constructed);
}

int ScriptedTransport::MostAlive() const {
  return ReadScript(&Script::mostAlive);
}

std::string ScriptedTransport::LastComponentName() const {
  return ReadScript(&Script::lastComponentName);
}

std::string ScriptedTransport::LastConfigPath() const {
  return ReadScript(&Script::lastConfigPath);
}

}  // namespace testing
}  // namespace qmx
