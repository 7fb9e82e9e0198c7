// The shipped provider library as a host runs it: opened with dlopen and
// created through its factory, with the product schema as its services, the
// update service installed as a fake package, a scripted transport in place
// of the socket and every trace line captured. Each test ends with a check
// that releasing the repository frees every host object: no reference the
// provider took was kept, none given back twice.

#ifndef QMX_TESTS_PROVIDER_PROVIDER_FIXTURE_H_
#define QMX_TESTS_PROVIDER_PROVIDER_FIXTURE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "host/provider_base.h"
#include "host/utility.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"
#include "tests/provider/host_objects.h"
#include "tests/support/samples.h"
#include "tests/support/temp_root.h"

namespace qmx_test {

const uint32_t kFailed = 0x80000001u;
const int kReplyLength = qmx::testing::Exchange::kReplyLength;

// The kind of the method's request, from its sample; "" for a method that
// sends nothing.
std::string KindOf(const std::string& method);

// What one method call delivered; the sink keeps the indicated instance.
struct CallResult {
  HRESULT status;
  std::unique_ptr<qmx::RecordingSink> sink;

  const std::vector<HRESULT>& statuses() const { return sink->Statuses(); }
  // The indicated instance, or null.
  IWbemClassObject* out() const { return sink->Indicated().empty() ? nullptr : sink->Indicated()[0]; }
  uint32_t returnValue() const;
};

// The output parameters of a call that hold a value, as qmx-call --json
// writes them after ReturnValue.
std::string Outputs(const CallResult& result, const std::string& method);
// The member name of a JSON object's members, as "name":value.
std::string Member(const std::string& members, const std::string& name);

// What every trace text of an operation starts with.
std::string Prefix(const std::string& operation);

class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new provider from the library's factory.
  static CVELTRAX_ServerService* Create();
  // Gives the provider the classes of mof instead; null gives it none.
  void UseMof(const char* mof);
  // From now on every object of the services traces "Release <label>" (trace
  // name "test") at each Release: a class as its name, a method's
  // parameter classes as "<class>.<method> in" and "out", an instance as
  // the label of its class and " instance".
  void RecordReleases();

  // One method call as a host makes it, its input with a fresh instance in
  // every embedded parameter and the fields set.
  CallResult Call(const std::string& method, const Fields& fields = {});

  void Reply(const std::string& reply) { transport_.PushReply(reply); }

  // A catalogue line matches as its id and inserts joined with blanks.
  bool Traced(int level, const std::string& text) const;
  std::vector<std::string> Texts() const;  // every line so matched, in order

  CVELTRAX_ServerService* provider_ = nullptr;
  IWbemServices* services_ = nullptr;
  qmx::testing::FakePackages packages_;
  qmx::testing::ScriptedTransport transport_;
  std::optional<qmx::testing::TraceCapture> capture_;

 private:
  std::shared_ptr<IWbemServices> recording_;  // outlives the provider
  qmx::support::TempRoot root_;
  int liveAtStart_ = 0;
};

}  // namespace qmx_test

#endif  // QMX_TESTS_PROVIDER_PROVIDER_FIXTURE_H_
