// The installed layout works on its own: the build installed into a staging
// folder runs qmx-call from there against the installed service, which reads
// the installed sample configuration.

#include <string>

#include "gtest/gtest.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace support {
namespace {

const char kPrefix[] = "/usr/local/qmx";
// Where the sample lands; the framework's path links to it on a device.
const char kInstalledConfig[] = "/etc/qmx/um/SocketConfig.ini";

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
  std::string sample = stage.ReadFile(kInstalledConfig);
  ASSERT_NE(std::string::npos, sample.find("[Socket]"));

  // Installing again keeps a configuration the administrator changed.
  const std::string edited = "[Socket]\nPath=/run/elsewhere.sock\n";
  stage.WriteFile(kInstalledConfig, edited);
  installed = Install(stage);
  ASSERT_EQ(0, installed.exit_code) << installed.Describe();
  EXPECT_EQ(edited, stage.ReadFile(kInstalledConfig));

  TempRoot root;
  root.WriteFile(kSocketConfigPath, sample);
  root.WritePackageStatus(true);
  ServiceProcess service(stage.PathOf(prefix + "/sbin/qmxupdtmngr"), &root);
  service.Start();
  CommandResult result = RunCommand(
      {{stage.PathOf(prefix + "/bin/qmx-call"), "--json", "GetQmxStatus"},
       {{"QMX_ROOT", root.dir()}}});
  EXPECT_EQ(0, result.exit_code) << result.Describe();
  EXPECT_EQ("{\"method\":\"GetQmxStatus\",\"status\":0,\"ReturnValue\":0}\n",
            result.out);
}

}  // namespace
}  // namespace support
}  // namespace qmx
