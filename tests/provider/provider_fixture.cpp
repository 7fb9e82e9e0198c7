#include "tests/provider/provider_fixture.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>


// The factory of the static copy, under the name a host looks up.
extern "C" CVELTRAX_ServerService* create();

namespace qmx_test {
namespace {

const char kClassName[] = "VELTRAX_UpdateManager";

// The library stays loaded for the whole test program, as in a host.
ProviderFactory LibraryFactory() {
  static ProviderFactory factory = [] {
    void* library = dlopen(QMX_PROVIDER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(library, nullptr) << dlerror();
    if (library == nullptr) return ProviderFactory(nullptr);
    return reinterpret_cast<ProviderFactory>(dlsym(library, "create"));
  }();
  return factory;
}

// Reads one property into a variant the caller clears.
bool GetValue(IWbemClassObject* object, const std::string& name,
              VARIANT* value) {
  VariantInit(value);
  HRESULT status = object->Get(name.c_str(), 0, value, nullptr, nullptr);
  EXPECT_GE(status, 0) << "reading " << name;
  return status >= 0;
}

void Put(IWbemClassObject* object, const std::string& name,
         const Value& value) {
  HRESULT status = WBEM_E_FAILED;
  if (const bool* flag = std::get_if<bool>(&value)) {
    status = CIWbemUtil::setBoolToIWbemClassObject(object, name, *flag);
  } else if (const int* number = std::get_if<int>(&value)) {
    status = CIWbemUtil::setIntToIWbemClassObject(object, name, *number);
  } else {
    status = CIWbemUtil::setStringToIWbemClassObject(
        object, name, std::get<std::string>(value));
  }
  EXPECT_GE(status, 0) << "setting " << name;
}

}  // namespace

const char kStatusSignature[] =
    "long int CVELTRAX_UpdateManager::GetQmxStatus(IWbemClassObject*, "
    "IWbemClassObject*)";

std::string Prefix(const std::string& operation) {
  if (operation == "GetQmxStatus") return kStatusSignature;
  return "CVELTRAX_UpdateManager::" + operation + "()";
}

IWbemClassObject* CallResult::out() const {
  const std::vector<IWbemClassObject*>& indicated = sink->Indicated();
  return indicated.empty() ? nullptr : indicated.front();
}

uint32_t CallResult::returnValue() const {
  IWbemClassObject* instance = out();
  EXPECT_NE(instance, nullptr) << "no instance indicated";
  return instance == nullptr ? 0 : ReadUint(instance, "ReturnValue");
}

std::string ReadString(IWbemClassObject* object, const std::string& name) {
  std::string value;
  EXPECT_GE(CIWbemUtil::getStringFromIWbemClassObject(object, name, &value), 0)
      << "reading " << name;
  return value;
}

int ReadInt(IWbemClassObject* object, const std::string& name) {
  int value = 0;
  EXPECT_GE(CIWbemUtil::getIntFromIWbemClassObject(object, name, &value), 0)
      << "reading " << name;
  return value;
}

bool ReadBool(IWbemClassObject* object, const std::string& name) {
  bool value = false;
  EXPECT_GE(CIWbemUtil::getBoolFromIWbemClassObject(object, name, &value), 0)
      << "reading " << name;
  return value;
}

uint32_t ReadUint(IWbemClassObject* object, const std::string& name) {
  VARIANT value;
  if (!GetValue(object, name, &value)) return 0;
  uint32_t result = value.vt == VT_NULL ? 0 : value.ulVal;
  VariantClear(&value);
  return result;
}

ObjectPtr ReadObject(IWbemClassObject* object, const std::string& name) {
  IWbemClassObject* value = nullptr;
  EXPECT_GE(
      CIWbemUtil::getParameterClassFromIWbemClassObject(object, name, &value),
      0)
      << "reading " << name;
  return ObjectPtr(value);
}

bool IsNull(IWbemClassObject* object, const std::string& name) {
  VARIANT value;
  if (!GetValue(object, name, &value)) return false;
  bool null = value.vt == VT_NULL;
  VariantClear(&value);
  return null;
}

IWbemServices* LoadMofText(const std::string& text) {
  std::string error;
  IWbemServices* services = qmx::LoadRepositoryFromText(text, "test.mof", &error);
  EXPECT_NE(services, nullptr) << error;
  return services;
}

void ProviderFixture::SetUp() {
  char root[] = "/tmp/qmx_provider_test.XXXXXX";
  ASSERT_NE(mkdtemp(root), nullptr);
  root_ = root;
  setenv("QMX_ROOT", root_.c_str(), 1);
  capture_.emplace(31);
  packages_.Install("qmxupdtmngr", "1.0");

  services_ = LoadServices();
  provider_ = CreateProvider();
  ASSERT_NE(provider_, nullptr);
  if (Build() == ProviderBuild::kCore) {
    core_ = static_cast<CVELTRAX_UpdateManager*>(provider_);
  }
  if (services_ != nullptr) provider_->SetServices(services_);
  capture_->Clear();
  liveAtStart_ = qmx::testing::LiveObjectCount();
}

void ProviderFixture::TearDown() {
  EXPECT_EQ(qmx::testing::LiveObjectCount(), liveAtStart_)
      << "host objects not released exactly once";
  delete provider_;
  if (services_ != nullptr) services_->Release();
  unsetenv("QMX_ROOT");
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

CVELTRAX_ServerService* ProviderFixture::CreateProvider() {
  if (Build() == ProviderBuild::kCore) return create();
  ProviderFactory factory = LibraryFactory();
  return factory == nullptr ? nullptr : factory();
}

IWbemServices* ProviderFixture::LoadServices() {
  std::string error;
  IWbemServices* services = qmx::LoadRepository({QMX_SCHEMA_FILE}, &error);
  EXPECT_NE(services, nullptr) << error;
  return services;
}

CallResult ProviderFixture::Call(const std::string& method,
                                 IWbemClassObject* inParams) {
  CallResult result;
  result.sink = std::make_unique<qmx::RecordingSink>();
  std::string path = kClassName;
  std::string name = method;
  IWbemContext* context = qmx::CreateContext();
  result.status = provider_->ExecMethodAsync(path.data(), name.data(), 0,
                                             context, inParams,
                                             result.sink.get());
  context->Release();
  return result;
}

CallResult ProviderFixture::Call(const std::string& method,
                                 const std::vector<InputField>& fields) {
  ObjectPtr input = MakeInput(method, fields);
  return Call(method, input.get());
}

ObjectPtr ProviderFixture::MakeInstance(const std::string& className) {
  IWbemClassObject* classObject = nullptr;
  EXPECT_GE(services_->GetObject(className, 0, nullptr, &classObject, nullptr),
            0)
      << className;
  ObjectPtr owner(classObject);
  IWbemClassObject* instance = nullptr;
  if (owner) owner->SpawnInstance(0, &instance);
  EXPECT_NE(instance, nullptr) << className;
  return ObjectPtr(instance);
}

ObjectPtr ProviderFixture::MakeInput(const std::string& method,
                                     const std::vector<InputField>& fields) {
  IWbemClassObject* classObject = nullptr;
  services_->GetObject(kClassName, 0, nullptr, &classObject, nullptr);
  ObjectPtr owner(classObject);
  IWbemClassObject* inClass = nullptr;
  if (owner) owner->GetMethod(method.c_str(), 0, &inClass, nullptr);
  ObjectPtr signature(inClass);
  if (!signature) return nullptr;
  IWbemClassObject* instance = nullptr;
  signature->SpawnInstance(0, &instance);
  ObjectPtr input(instance);
  for (const std::string& parameter : input->GetPropertyNames()) {
    std::string className = input->GetEmbeddedClassName(parameter.c_str());
    if (className.empty()) continue;
    ObjectPtr embedded = MakeInstance(className);
    for (const InputField& field : fields) {
      if (field.parameter == parameter) {
        Put(embedded.get(), field.property, field.value);
      }
    }
    EXPECT_GE(CIWbemUtil::setParameterClassToIWbemClassObject(
                  input.get(), parameter, embedded.get()),
              0);
  }
  return input;
}

bool ProviderFixture::Traced(int level, const std::string& text) const {
  return TracedUnder("umprovider", level, text);
}

bool ProviderFixture::TracedUnder(const std::string& traceName, int level,
                                  const std::string& text) const {
  for (const qmx::testing::TraceLine& line : capture_->Lines()) {
    if (line.traceName == traceName && line.level == level &&
        line.text == text) {
      return true;
    }
  }
  return false;
}

bool ProviderFixture::TracedContaining(const std::string& part) const {
  for (const std::string& text : capture_->Texts()) {
    if (text.find(part) != std::string::npos) return true;
  }
  return false;
}

void ProviderFixture::CaptureLevels(int mask) {
  capture_.reset();
  capture_.emplace(mask);
}

}  // namespace qmx_test
