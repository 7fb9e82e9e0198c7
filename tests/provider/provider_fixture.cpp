#include "tests/provider/provider_fixture.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <atomic>

#include <nlohmann/json.hpp>

#include "tools/qmx-call/call_report.h"

namespace qmx_test {
namespace {

// Forwards to a runtime object and traces "Release <label>" at each Release,
// so that a test sees among the provider's lines when it lets go of an
// object. What it hands out is wrapped alike.
class RecordingObject : public IWbemClassObject {
 public:
  static IWbemClassObject* Wrap(IWbemClassObject* inner, const std::string& label) {
    return inner == nullptr ? nullptr : new RecordingObject(inner, label);
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    CTraceUtility::WriteDebug("test", TRACE_DETAIL, "Release %s", label_.c_str());
    if (--refs_ > 0) return refs_;
    inner_->Release();
    delete this;
    return 0;
  }
  HRESULT Get(const char* n, long f, VARIANT* v, CIMTYPE* t, long* l) override {
    return inner_->Get(n, f, v, t, l);
  }
  HRESULT Put(const char* n, long f, const VARIANT* v, CIMTYPE t) override {
    return inner_->Put(n, f, v, t);
  }
  HRESULT GetMethod(const char* name, long flags, IWbemClassObject** in,
                    IWbemClassObject** out) override {
    HRESULT status = inner_->GetMethod(name, flags, in, out);
    if (in != nullptr) *in = Wrap(*in, label_ + "." + name + " in");
    if (out != nullptr) *out = Wrap(*out, label_ + "." + name + " out");
    return status;
  }
  HRESULT SpawnInstance(long flags, IWbemClassObject** instance) override {
    HRESULT status = inner_->SpawnInstance(flags, instance);
    *instance = Wrap(*instance, label_ + " instance");
    return status;
  }
  std::string GetClassName() override { return inner_->GetClassName(); }
  std::vector<std::string> GetPropertyNames() override { return inner_->GetPropertyNames(); }
  std::string GetEmbeddedClassName(const char* n) override { return inner_->GetEmbeddedClassName(n); }

 private:
  RecordingObject(IWbemClassObject* inner, std::string label) : inner_(inner), label_(label) {}
  IWbemClassObject* inner_;
  std::string label_;
  std::atomic<ULONG> refs_{1};
};

// Serves the runtime's classes wrapped as RecordingObjects. The test owns
// it, so it counts no references.
class RecordingServices : public IWbemServices {
 public:
  explicit RecordingServices(IWbemServices* inner) : inner_(inner) {}
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT GetObject(const std::string& path, long flags, IWbemContext* context,
                    IWbemClassObject** object, IWbemCallResult** callResult) override {
    HRESULT status = inner_->GetObject(path, flags, context, object, callResult);
    *object = RecordingObject::Wrap(*object, path);
    return status;
  }

 private:
  IWbemServices* inner_;
};

// Catalogue lines carry an id and inserts instead of a text of their own.
std::string TextOf(const qmx::testing::TraceLine& line) {
  std::string text = line.messageId.empty() ? line.text : line.messageId;
  for (const std::string& insert : line.inserts) text += " " + insert;
  return text;
}

}  // namespace

uint32_t CallResult::returnValue() const {
  int value = 0;
  EXPECT_TRUE(out() != nullptr &&
              CIWbemUtil::getIntFromIWbemClassObject(out(), "ReturnValue", &value) >= 0)
      << "no instance with a return value indicated";
  return static_cast<uint32_t>(value);
}

std::string Outputs(const CallResult& result, const std::string& method) {
  const nlohmann::ordered_json json = nlohmann::ordered_json::parse(
      qmx::call::FormatJson({method, WBEM_S_NO_ERROR, result.out(), nullptr}));
  std::string members;
  for (const auto& [name, value] : json.items()) {
    if (name == "method" || name == "status" || name == "ReturnValue" || value.is_null()) continue;
    members += (members.empty() ? "\"" : ",\"") + name + "\":" + value.dump();
  }
  return members;
}

std::string Member(const std::string& members, const std::string& name) {
  return "\"" + name + "\":" + nlohmann::ordered_json::parse("{" + members + "}").at(name).dump();
}

std::string KindOf(const std::string& method) { return qmx::support::SampleOf(method).kind(); }

std::string Prefix(const std::string& operation) {
  if (operation != "GetQmxStatus") return "CVELTRAX_UpdateManager::" + operation + "() ";
  return "long int CVELTRAX_UpdateManager::GetQmxStatus(IWbemClassObject*, IWbemClassObject*) ";
}

void ProviderTest::SetUp() {
  setenv("QMX_ROOT", root_.dir().c_str(), 1);
  capture_.emplace(31);
  packages_.Install("qmxupdtmngr", "1.0");
  liveAtStart_ = qmx::testing::LiveObjectCount();
  std::string error;
  services_ = qmx::LoadRepository({QMX_SCHEMA_FILE}, &error);
  ASSERT_NE(services_, nullptr) << error;
  provider_ = Create();
  ASSERT_NE(provider_, nullptr) << dlerror();
  provider_->SetServices(services_);
  capture_->Clear();
}

void ProviderTest::TearDown() {
  delete provider_;
  if (services_ != nullptr) services_->Release();
  // The classes go with their repository, unless a reference was kept.
  EXPECT_EQ(qmx::testing::LiveObjectCount(), liveAtStart_) << "host objects not released once";
  unsetenv("QMX_ROOT");
}

CVELTRAX_ServerService* ProviderTest::Create() {
  // Opened once and kept for the whole program, as a host keeps it.
  static void* library = dlopen(QMX_PROVIDER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  void* factory = library == nullptr ? nullptr : dlsym(library, "create");
  return factory == nullptr ? nullptr : reinterpret_cast<ProviderFactory>(factory)();
}

void ProviderTest::UseMof(const char* mof) {
  std::string error;
  if (services_ != nullptr) services_->Release();
  services_ = mof == nullptr ? nullptr : qmx::LoadRepositoryFromText(mof, "test.mof", &error);
  EXPECT_EQ(error, "");
  provider_->SetServices(services_);
}

void ProviderTest::RecordReleases() {
  recording_ = std::make_shared<RecordingServices>(services_);
  provider_->SetServices(recording_.get());
}

CallResult ProviderTest::Call(const std::string& method, const Fields& fields) {
  ObjectPtr input = MakeInput(provider_->GetServices(), method, fields);
  EXPECT_TRUE(fields.empty() || input) << "a field cannot be set";
  CallResult result{WBEM_S_NO_ERROR, std::make_unique<qmx::RecordingSink>()};
  std::string path = "VELTRAX_UpdateManager";
  IWbemContext* context = qmx::CreateContext();
  result.status = provider_->ExecMethodAsync(path.data(), std::string(method).data(), 0, context,
                                             input.get(), result.sink.get());
  context->Release();
  return result;
}

bool ProviderTest::Traced(int level, const std::string& text) const {
  for (const qmx::testing::TraceLine& line : capture_->Lines()) {
    if (line.traceName == "umprovider" && line.level == level && TextOf(line) == text) return true;
  }
  return false;
}

std::vector<std::string> ProviderTest::Texts() const {
  std::vector<std::string> texts;
  for (const qmx::testing::TraceLine& line : capture_->Lines()) texts.push_back(TextOf(line));
  return texts;
}

}  // namespace qmx_test
