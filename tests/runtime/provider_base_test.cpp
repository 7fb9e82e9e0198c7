// The provider base classes.

#include <string>

#include "gtest/gtest.h"
#include "host/provider_base.h"
#include "host/utility.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"

namespace qmx {
namespace {

class ProviderBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    m_services = LoadRepository({QMX_SCHEMA_FILE}, &error);
    ASSERT_NE(m_services, nullptr) << error;
  }
  void TearDown() override { m_services->Release(); }

  // An instance of the output class of a VELTRAX_UpdateManager method.
  IWbemClassObject* Output(const char* method) {
    IWbemClassObject* cls = nullptr;
    IWbemClassObject* out = nullptr;
    IWbemClassObject* instance = nullptr;
    EXPECT_EQ(m_services->GetObject("VELTRAX_UpdateManager", 0, nullptr, &cls,
                                    nullptr), 0);
    EXPECT_EQ(cls->GetMethod(method, 0, nullptr, &out), 0);
    EXPECT_EQ(out->SpawnInstance(0, &instance), 0);
    out->Release();
    cls->Release();
    return instance;
  }

  IWbemServices* m_services = nullptr;
  CVELTRAX_SysService m_provider{"QmxProvider", "Veltrax", "42.0.1"};
};

TEST_F(ProviderBaseTest, UnservedMethodsReportNotImplemented) {
  RecordingSink sink;
  char path[] = "VELTRAX_UpdateManager";
  char method[] = "Anything";
  EXPECT_EQ(m_provider.ExecMethodAsync(path, method, 0, nullptr, nullptr, &sink),
            WBEM_E_METHOD_NOT_IMPLEMENTED);
  EXPECT_EQ(sink.Statuses(), std::vector<HRESULT>{WBEM_E_METHOD_NOT_IMPLEMENTED});
}

TEST_F(ProviderBaseTest, ProviderVersionGoesToTheVersionParameter) {
  IWbemClassObject* out = Output("GetProviderVersion");
  EXPECT_EQ(m_provider.GetProviderVersion(nullptr, out), 0);
  std::string version;
  EXPECT_EQ(CIWbemUtil::getStringFromIWbemClassObject(out, "Version", &version), 0);
  EXPECT_EQ(version, "42.0.1");
  {
    testing::FaultInjection faults;
    faults.Fail(testing::HostOperation::kPut, "Version", WBEM_E_FAILED);
    EXPECT_EQ(m_provider.GetProviderVersion(nullptr, out), 0x80000001);
  }
  out->Release();

  IWbemClassObject* noVersion = Output("ExecuteReboot");
  EXPECT_EQ(m_provider.GetProviderVersion(nullptr, noVersion), 0);
  noVersion->Release();
}

TEST_F(ProviderBaseTest, HoldsOneReferenceToItsServices) {
  {
    CVELTRAX_ServerService provider("Name", "Vendor", "1.2");
    provider.SetServices(m_services);
    provider.SetServices(m_services);  // handed over again: still one
    EXPECT_EQ(m_services->AddRef(), 3u);
    m_services->Release();
  }
  EXPECT_EQ(m_services->AddRef(), 2u);
  m_services->Release();
}

TEST_F(ProviderBaseTest, VersionLogLineNamesTheModule) {
  testing::TraceCapture capture;
  m_provider.writeDLLFileVersionLog("libqmx_provider.so");
  std::vector<testing::TraceLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].traceName, "QmxProvider");
  EXPECT_EQ(lines[0].level, TRACE_FUNCTION);
  EXPECT_EQ(lines[0].text, "libqmx_provider.so version 42.0.1");
}

}  // namespace
}  // namespace qmx
