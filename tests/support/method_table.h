// The methods of VELTRAX_UpdateManager as the tests know them, for tests
// that cannot read the provider's own table: each with the kind of its
// request to the update service and whether the service journals it.

#ifndef QMX_TESTS_SUPPORT_METHOD_TABLE_H_
#define QMX_TESTS_SUPPORT_METHOD_TABLE_H_

namespace qmx {
namespace support {

struct MethodEntry {
  const char* name;
  const char* kind;  // "": answered by the provider, nothing is sent
  bool journaled;    // an action the service records in its journal
};

inline constexpr MethodEntry kMethods[] = {
    {"GetAutoDownloadSetting", "gtatdnld", false}, {"SetAutoDownloadSetting", "statdnld", false},
    {"DownloadAll", "exmndnld", true}, {"GetAutoUpdateSetting", "gtatupdt", false},
    {"SetAutoUpdateSetting", "statupdt", false}, {"UpdateAll", "exmnupdt", true},
    {"RollbackAll", "exmnrlbk", true}, {"NoticeModuleUpdate", "mdulupdt", true},
    {"ExecuteReboot", "exreboot", true}, {"GetQmxStatus", "gustatus", false},
    {"GetProviderVersion", "", false}};

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_METHOD_TABLE_H_
