// CVELTRAX_UpdateManager::GetParameter on arbitrary bytes. Whatever a reply
// body holds, its items must be the ones the sender could have joined: one
// more item than separators, each in the form unescaping gives, and
// escaping and joining them again gives back the body.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "fuzz/fuzz_support.h"
#include "provider/UpdateManager.h"
#include "runtime/testing/host_testing.h"

namespace {

CVELTRAX_UpdateManager* g_provider = nullptr;
qmx::testing::TraceCapture* g_capture = nullptr;

std::string Escape(const std::string& item) {
  std::string escaped;
  for (char c : item) {
    if (c == ';') {
      escaped += "@@@@";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

// Unescaping turns a run of n "@" into n/4 ";" followed by n%4 "@", so an
// item never holds "@@@@" nor an "@" just before a ";". Together with the
// round trip this leaves one possible item per piece of body.
bool Unescaped(const std::string& item) {
  return item.find("@@@@") == std::string::npos &&
         item.find("@;") == std::string::npos;
}

size_t Separators(const std::string& body) {
  size_t count = 0;
  for (char c : body) count += c == ';';
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qmx_fuzz::TraceToMemoryOnly();
  // The detail traces of every item are formatted too, as in a traced run.
  g_capture = new qmx::testing::TraceCapture(31);
  g_provider = new CVELTRAX_UpdateManager();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = qmx_fuzz::Bytes(data, size);
  std::list<std::string> items = g_provider->GetParameter(body);
  g_capture->Clear();

  qmx_fuzz::Check(items.size() == Separators(body) + 1,
                  "one item more than separators");
  std::string joined;
  for (const std::string& item : items) {
    qmx_fuzz::Check(Unescaped(item), "items are fully unescaped");
    if (&item != &items.front()) joined += ';';
    joined += Escape(item);
  }
  qmx_fuzz::Check(joined == body, "escaping and joining gives the body back");
  return 0;
}
