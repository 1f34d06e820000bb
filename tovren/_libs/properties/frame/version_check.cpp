#include "version_check.h"

namespace tovren {

namespace {

// The version of the headers the module is compiled against: a 3.14 build
// expects 3.14 and a 3.15 build 3.15.
constexpr int kCompiledMajor = PY_MAJOR_VERSION;
constexpr int kCompiledMinor = PY_MINOR_VERSION;

}  // namespace

int check_runtime_version(unsigned long runtime_version) noexcept {
  int runtime_major = static_cast<int>((runtime_version >> 24) & 0xFF);
  int runtime_minor = static_cast<int>((runtime_version >> 16) & 0xFF);
  if (runtime_major == kCompiledMajor && runtime_minor == kCompiledMinor) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof(message),
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                kCompiledMajor, kCompiledMinor, "tovren._libs.properties", "does not match",
                runtime_major, runtime_minor);
  PyErr_SetString(PyExc_ImportError, message);
  return -1;
}

}  // namespace tovren
