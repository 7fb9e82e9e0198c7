#include "runtime/testing/attached.h"

namespace qmx {
namespace testing {

int LiveObjectCount() { return detail::ObjectHooks().liveObjects->load(); }

}  // namespace testing
}  // namespace qmx
