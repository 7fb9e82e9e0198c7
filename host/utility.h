// The host framework's helpers: typed property access, tracing, the package
// query and string conversions.

#ifndef QMX_HOST_UTILITY_H_
#define QMX_HOST_UTILITY_H_

#include <cstdint>
#include <string>

#include "host/wbem.h"

#pragma GCC visibility push(default)

// Typed access to the properties of a class object or instance. Each getter
// and setter checks the property's name and declared type and fails with a
// WBEM status (below 0): WBEM_E_INVALID_PARAMETER for a null object,
// WBEM_E_NOT_FOUND for an unknown name, WBEM_E_TYPE_MISMATCH for another type.
//
// Reading NULL: a NULL string reads as success with the empty text; a NULL
// integer or boolean reads as success with 0 or false; a NULL embedded
// object cannot be read (WBEM_E_NOT_FOUND).
//
// getParameterClassFromIWbemClassObject hands out a reference that the caller
// must Release; setParameterClassToIWbemClassObject takes its own reference,
// so the caller still releases the one it holds.
class CIWbemUtil {
 public:
  static HRESULT getStringFromIWbemClassObject(IWbemClassObject* object,
                                               const std::string& name,
                                               std::string* value);
  static HRESULT getIntFromIWbemClassObject(IWbemClassObject* object,
                                            const std::string& name,
                                            int* value);
  static HRESULT getBoolFromIWbemClassObject(IWbemClassObject* object,
                                             const std::string& name,
                                             bool* value);
  static HRESULT getParameterClassFromIWbemClassObject(
      IWbemClassObject* object, const std::string& name,
      IWbemClassObject** value);

  static HRESULT setStringToIWbemClassObject(IWbemClassObject* object,
                                             const std::string& name,
                                             const std::string& value);
  static HRESULT setIntToIWbemClassObject(IWbemClassObject* object,
                                          const std::string& name, int value);
  // A sint32 property; a value outside the 32-bit range is refused.
  static HRESULT setLongToIWbemClassObject(IWbemClassObject* object,
                                           const std::string& name,
                                           long value);
  static HRESULT setBoolToIWbemClassObject(IWbemClassObject* object,
                                           const std::string& name,
                                           bool value);
  static HRESULT setParameterClassToIWbemClassObject(
      IWbemClassObject* object, const std::string& name,
      IWbemClassObject* value);
  // The method's "ReturnValue" (uint32).
  static HRESULT setReturnValueToIWbemClassObject(IWbemClassObject* object,
                                                  uint32_t value);
};

// Trace levels, a bit each.
constexpr int TRACE_DETAIL = 1;
constexpr int TRACE_ERROR = 2;
constexpr int TRACE_FUNCTION = 4;
constexpr int TRACE_EXCEPTION = 8;
constexpr int TRACE_WARNING = 16;

// Trace lines, one per call, appended to $QMX_ROOT/var/log/qmx/<name>.log.
// A line is written only when its level is in the mask (QMX_TRACE_LEVEL,
// default 26: errors, exceptions, warnings); nothing is formatted otherwise.
class CTraceUtility {
 public:
  static void WriteDebug(const std::string& traceName, int level,
                         const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  // A message-catalogue line: the id, then the catalogue text with the
  // inserts (const char* each, as many as the id's text takes).
  static void WriteTrace(const std::string& traceName, const char* messageId,
                         ...);
};

class CFileUtility {
 public:
  // The installed version of a package from the dpkg status database, or ""
  // when it is not installed or the database cannot be read.
  static std::string GetPackageVersion(std::string packageName);
};

class CStringUtil {
 public:
  // Replaces every occurrence of from (non-empty) in text, in one pass.
  static void strReplace(std::string& text, const std::string& from,
                         const std::string& to);
  // Byte strings on this platform: both conversions return their input.
  static std::string StringToTstring(const std::string& text);
  static std::string TstringToString(const std::string& text);
};

#pragma GCC visibility pop

#endif  // QMX_HOST_UTILITY_H_
