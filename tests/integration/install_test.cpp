// The installed layout works on its own: the build installed into a staging
// folder runs qmx-call from there against the installed service, which reads
// the installed sample configuration.

#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace support {
namespace {

const char kPrefix[] = "/usr/local/qmx";

CommandResult Install(const TempRoot& stage) {
  return RunCommand({{QMX_CMAKE_COMMAND, "--install", QMX_BUILD_DIR, "--prefix",
                      kPrefix},
                     {{"DESTDIR", stage.dir()}}});
}

TEST(InstallTest, InstalledToolCallsTheInstalledService) {
  TempRoot stage;
  CommandResult installed = Install(stage);
  ASSERT_EQ(0, installed.exit_code) << installed.Describe();
  // The programs below need the rest of the layout; the unit file is alone.
  const std::string prefix = kPrefix;
  EXPECT_TRUE(stage.Exists(prefix + "/lib/systemd/system/qmxupdtmngr.service"));
  std::string sample = stage.ReadFile(kSocketConfigPath);
  ASSERT_NE(std::string::npos, sample.find("[Socket]"));

  // Installing again keeps a configuration the administrator changed.
  const std::string edited = "[Socket]\nPath=/run/elsewhere.sock\n";
  stage.WriteFile(kSocketConfigPath, edited);
  installed = Install(stage);
  ASSERT_EQ(0, installed.exit_code) << installed.Describe();
  EXPECT_EQ(edited, stage.ReadFile(kSocketConfigPath));

  TempRoot root;
  root.WriteFile(kSocketConfigPath, sample);
  root.WritePackageStatus(true);
  ServiceProcess service(stage.PathOf(prefix + "/sbin/qmxupdtmngr"), &root);
  service.Start();
  CommandResult result = RunCommand(
      {{stage.PathOf(prefix + "/bin/qmx-call"), "--json", "GetQmxStatus"},
       {{"QMX_ROOT", root.dir()}}});
  EXPECT_EQ(0, result.exit_code) << result.Describe();
  EXPECT_EQ("{\"method\": \"GetQmxStatus\", \"status\": 0, \"ReturnValue\": 0}\n",
            result.out);
}

// What a provider or a host program may find in the runtime libraries: the
// classes and calls of host/, and the host program's calls of
// runtime/repository.h and runtime/trace_control.h.
const char* const kHostInterface[] = {
    "CFileTransfer", "CFileUtility", "CIWbemUtil", "CStringUtil",
    "CTraceUtility", "CVELTRAX_ServerService", "CVELTRAX_SysService",
    "QmxException", "IWbemClassObject", "IWbemContext", "IWbemObjectSink",
    "IWbemServices", "VariantInit", "VariantClear", "SysAllocString",
    "SysFreeString", "lstrcmpW", "qmx::CreateContext", "qmx::LoadRepository",
    "qmx::LoadRepositoryFromText", "qmx::RecordingSink",
    "qmx::ReloadTraceLevel", "qmx::SetTraceMirror"};

// The declared name a demangled symbol belongs to, or "" when none of the
// list: "vtable for X", "X::Y(...)" and "X(...)" all belong to X.
std::string InterfaceName(std::string symbol) {
  for (const char* prefix : {"typeinfo name for ", "typeinfo for ", "vtable for "}) {
    if (symbol.rfind(prefix, 0) == 0) symbol.erase(0, strlen(prefix));
  }
  symbol = symbol.substr(0, symbol.find('('));
  for (const char* name : kHostInterface) {
    size_t length = strlen(name);
    if (symbol.compare(0, length, name) == 0 &&
        (symbol.size() == length || symbol.compare(length, 2, "::") == 0)) {
      return name;
    }
  }
  return "";
}

TEST(InstallTest, RuntimeLibrariesExportTheHostInterfaceAndNothingElse) {
  TempRoot stage;
  CommandResult installed = Install(stage);
  ASSERT_EQ(0, installed.exit_code) << installed.Describe();
  std::vector<std::string> unlisted;
  std::set<std::string> found;
  for (const char* library : {"libqmx_ComLib.so", "libqmx_ProviderBase.so"}) {
    CommandResult nm = RunCommand(
        {{"nm", "-D", "-C", "--defined-only",
          stage.PathOf(std::string(kPrefix) + "/lib/" + library)},
         {}});
    ASSERT_EQ(0, nm.exit_code) << nm.Describe();
    std::istringstream lines(nm.out);
    // "<address> <kind> <name>", the address as wide as a pointer.
    for (std::string line; std::getline(lines, line);) {
      std::string symbol = line.substr(2 * sizeof(void*) + 3);
      std::string name = InterfaceName(symbol);
      if (name.empty()) unlisted.push_back(symbol);
      found.insert(name);
    }
  }
  EXPECT_EQ(unlisted, std::vector<std::string>{});
  for (const char* name : kHostInterface) EXPECT_EQ(1u, found.count(name)) << name;
}

}  // namespace
}  // namespace support
}  // namespace qmx
