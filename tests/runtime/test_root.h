// A temporary QMX_ROOT for the runtime tests, which read it from this
// process's own environment rather than from a child's.

#ifndef QMX_TESTS_RUNTIME_TEST_ROOT_H_
#define QMX_TESTS_RUNTIME_TEST_ROOT_H_

#include <stdlib.h>

#include "runtime/trace_control.h"
#include "tests/support/temp_root.h"

namespace qmx {
namespace test {

// A fresh root set as QMX_ROOT, with QMX_TRACE_LEVEL unset so that the
// default trace mask applies, for the life of the object.
class TempRoot : public support::TempRoot {
 public:
  TempRoot() {
    setenv("QMX_ROOT", dir().c_str(), 1);
    unsetenv("QMX_TRACE_LEVEL");
    ReloadTraceLevel();
  }
  ~TempRoot() { unsetenv("QMX_ROOT"); }
};

}  // namespace test
}  // namespace qmx

#endif  // QMX_TESTS_RUNTIME_TEST_ROOT_H_
