// A provider of "VELTRAX_UpdateManager" inside the host runtime's test seams:
// the product schema loaded into a services object, the update service
// installed as a fake package, a scripted transport in place of the socket,
// every trace line captured, and a check at the end of each test that every
// host object the test made or the provider acquired was released.

#ifndef QMX_TESTS_PROVIDER_PROVIDER_FIXTURE_H_
#define QMX_TESTS_PROVIDER_PROVIDER_FIXTURE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "gtest/gtest.h"
#include "host/provider_base.h"
#include "host/utility.h"
#include "host/wbem.h"
#include "provider/UpdateManager.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"

namespace qmx_test {

struct Releaser {
  void operator()(IWbemClassObject* object) const {
    if (object != nullptr) object->Release();
  }
};
// One reference to a host object, given back when the holder goes.
using ObjectPtr = std::unique_ptr<IWbemClassObject, Releaser>;

// The value of one property of an embedded input object.
using Value = std::variant<bool, int, std::string>;
struct InputField {
  std::string parameter;  // the embedded object, e.g. "UpdateSchedule"
  std::string property;   // its property, e.g. "RepeatType"
  Value value;
};

// What one ExecMethodAsync call delivered. The sink keeps the indicated
// instances until the result goes.
struct CallResult {
  HRESULT status = WBEM_S_NO_ERROR;
  std::unique_ptr<qmx::RecordingSink> sink;

  IWbemClassObject* out() const;  // the first indicated instance, or null
  uint32_t returnValue() const;   // its "ReturnValue"
  const std::vector<HRESULT>& statuses() const { return sink->Statuses(); }
};

// Typed property readers; a read the host refuses fails the test.
std::string ReadString(IWbemClassObject* object, const std::string& name);
int ReadInt(IWbemClassObject* object, const std::string& name);
bool ReadBool(IWbemClassObject* object, const std::string& name);
uint32_t ReadUint(IWbemClassObject* object, const std::string& name);
ObjectPtr ReadObject(IWbemClassObject* object, const std::string& name);
// True when the property holds no value (never set).
bool IsNull(IWbemClassObject* object, const std::string& name);

// Result codes compare as the 32-bit values the caller sees on every build.
inline uint32_t Code(long result) { return static_cast<uint32_t>(result); }

// The trace prefix of an operation, e.g. "CVELTRAX_UpdateManager::UpdateAll()".
std::string Prefix(const std::string& operation);
extern const char kStatusSignature[];  // GetQmxStatus's own prefix

enum class ProviderBuild {
  kCore,     // the static copy: every member callable
  kLibrary,  // the shipped library, loaded and created as a host does
};

class ProviderFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new provider of the build under test, as create makes it.
  CVELTRAX_ServerService* CreateProvider();

  // The services object the provider gets; null gives it none.
  virtual IWbemServices* LoadServices();
  virtual ProviderBuild Build() const { return ProviderBuild::kCore; }

  // One method call through the dispatcher, as the host makes it.
  CallResult Call(const std::string& method, IWbemClassObject* inParams);
  // The same with the input that MakeInput builds.
  CallResult Call(const std::string& method,
                  const std::vector<InputField>& fields = {});

  // The method's input parameters with a fresh instance of its class in every
  // embedded-object parameter, the given fields set; null for a method
  // without input.
  ObjectPtr MakeInput(const std::string& method,
                      const std::vector<InputField>& fields = {});
  ObjectPtr MakeInstance(const std::string& className);

  // Queues one reply for the next transport; the send succeeds.
  void Reply(const std::string& reply) { transport_.PushReply(reply); }

  // Trace lines under the trace name, or under the provider's own name.
  bool Traced(int level, const std::string& text) const;
  bool TracedUnder(const std::string& traceName, int level,
                   const std::string& text) const;
  // True when any line's text contains part.
  bool TracedContaining(const std::string& part) const;
  // Replaces the capture with one that takes only the levels in mask.
  void CaptureLevels(int mask);

  // The provider as its class; null for the shipped library.
  CVELTRAX_UpdateManager* core() const { return core_; }

  CVELTRAX_ServerService* provider_ = nullptr;
  IWbemServices* services_ = nullptr;
  qmx::testing::FakePackages packages_;
  qmx::testing::ScriptedTransport transport_;
  std::optional<qmx::testing::TraceCapture> capture_;

 private:
  CVELTRAX_UpdateManager* core_ = nullptr;
  std::string root_;
  int liveAtStart_ = 0;
};

// The services object for MOF text; fails the test when the text is refused.
IWbemServices* LoadMofText(const std::string& text);

}  // namespace qmx_test

#endif  // QMX_TESTS_PROVIDER_PROVIDER_FIXTURE_H_
