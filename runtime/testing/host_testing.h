// Seams of the host runtime for tests, benchmarks and fuzz targets: a
// scripted transport, trace capture, a fake package database, injected host
// failures and a count of live objects. They live in libqmx_HostTesting.so,
// which only these programs link; the packaged runtime libraries carry none
// of them. Each seam is an object: it takes effect when constructed and is
// undone when destroyed. Only one of each kind may be alive at a time. All
// of them may be used from several threads at once.

#ifndef QMX_RUNTIME_TESTING_HOST_TESTING_H_
#define QMX_RUNTIME_TESTING_HOST_TESTING_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/wbem.h"
#include "runtime/transport_channel.h"

#pragma GCC visibility push(default)

namespace qmx {
namespace testing {

// Class objects, instances and strings (BSTR) alive in the runtime right now:
// every object made and not released to zero, every string allocated and
// not freed.
int LiveObjectCount();

// One scripted exchange: what one CFileTransfer does.
struct Exchange {
  int sendResult = 0;  // what SendMessage returns
  // For sendResult: the byte count of the message sent, as a socket gives.
  static constexpr int kMessageLength = -3;
  // What RecvMessage returns; kReplyLength means the byte count of reply
  // as copied (cut to fit the buffer).
  static constexpr int kReplyLength = -2;
  int recvResult = kReplyLength;
  std::string reply;  // copied into the buffer (cut to fit) and a NUL after
  // Runs inside RecvMessage before it returns (to hold a link open).
  std::function<void()> duringReceive;
  // RecvMessage returns recvResult without writing to the buffer at all.
  bool writesNothing = false;
  // Runs as the transport is destroyed (its link's client deleted).
  std::function<void()> whenClosed = nullptr;
};

// While alive, every CFileTransfer takes the next queued exchange when it is
// constructed instead of a socket. A transport with no exchange left fails
// both its send and its receive with -1.
class ScriptedTransport {
 public:
  ScriptedTransport();
  ~ScriptedTransport();
  ScriptedTransport(const ScriptedTransport&) = delete;
  ScriptedTransport& operator=(const ScriptedTransport&) = delete;

  void Push(Exchange exchange);
  // Send succeeds (kMessageLength), the reply is given.
  void PushReply(const std::string& reply);

  std::vector<std::string> Requests() const;  // every message sent, in order
  int Constructed() const;                    // transports made so far
  int MostAlive() const;  // the most transports alive at one time
  // The two constructor arguments of the last transport made.
  std::string LastComponentName() const;
  std::string LastConfigPath() const;
};

// Makes the channel of every CFileTransfer constructed from now on; an
// empty factory goes back to the socket channel.
using TransportFactory = std::function<std::unique_ptr<TransportChannel>(
    const std::string& componentName, const std::string& configPath)>;
void SetTransportFactory(TransportFactory factory);

// The runtime's real socket channel, for a factory that wraps it.
std::unique_ptr<TransportChannel> MakeSocketChannel(
    const std::string& componentName, const std::string& configPath);

// One trace line as the provider wrote it.
struct TraceLine {
  std::string traceName;
  int level;               // a catalogue line's is its id's severity
  std::string messageId;   // catalogue lines only
  std::vector<std::string> inserts;  // catalogue lines only
  std::string text;        // the formatted text (catalogue text for ids)
};

// While alive, records every trace line of the levels in mask in memory,
// whatever QMX_TRACE_LEVEL says. File output is unchanged.
class TraceCapture {
 public:
  explicit TraceCapture(int mask = 31);
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<TraceLine> Lines() const;
  std::vector<std::string> Texts() const;  // text of each line, in order
  void Clear();
};

// While alive, GetPackageVersion answers from this table instead of the
// dpkg database.
class FakePackages {
 public:
  FakePackages();
  ~FakePackages();
  FakePackages(const FakePackages&) = delete;
  FakePackages& operator=(const FakePackages&) = delete;

  void Install(const std::string& name, const std::string& version);
  void Remove(const std::string& name);
  int Queries() const;
};

// Host operations a test can make fail.
enum class HostOperation {
  kGetObject,      // name: the class path
  kGetMethod,      // name: the method name
  kSpawnInstance,  // name: the class name of the object spawned from
  kGet,            // name: the property name (any object)
  kPut,            // name: the property name (any object)
  kIndicate,       // name: ignored
  kTrace,          // name: the text of a line a live TraceCapture takes
  kCompare,        // lstrcmpW; name: its second string (a caller's method name)
};

// While alive, the listed operations on the listed names fail with the
// given status, or run the given action (which may throw), every time.
// GetObject and SpawnInstance given a status, even a success one, hand out
// no object: a host that reports success and gives nothing.
class FaultInjection {
 public:
  FaultInjection();
  ~FaultInjection();
  FaultInjection(const FaultInjection&) = delete;
  FaultInjection& operator=(const FaultInjection&) = delete;

  void Fail(HostOperation op, const std::string& name, HRESULT status);
  void Run(HostOperation op, const std::string& name,
           std::function<void()> action);
};

}  // namespace testing
}  // namespace qmx

#pragma GCC visibility pop

#endif  // QMX_RUNTIME_TESTING_HOST_TESTING_H_
