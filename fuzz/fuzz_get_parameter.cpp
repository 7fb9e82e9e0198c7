// CVELTRAX_UpdateManager::GetParameter on arbitrary bytes. Whatever a reply
// body holds, its items must be the ones the sender could have joined: one
// more item than separators, each in the form unescaping gives, and
// escaping and joining them again gives back the body.

#include <algorithm>
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
  for (char c : item) escaped += c == ';' ? "@@@@" : std::string(1, c);
  return escaped;
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

  size_t separators = std::count(body.begin(), body.end(), ';');
  qmx_fuzz::Check(items.size() == separators + 1,
                  "one item more than separators");
  std::string joined;
  for (const std::string& item : items) {
    // Unescaping turns a run of n "@" into n/4 ";" followed by n%4 "@", so
    // an item never holds "@@@@" nor an "@" just before a ";". Together with
    // the round trip this leaves one possible item per piece of body.
    qmx_fuzz::Check(item.find("@@@@") == std::string::npos &&
                        item.find("@;") == std::string::npos,
                    "items are fully unescaped");
    if (&item != &items.front()) joined += ';';
    joined += Escape(item);
  }
  qmx_fuzz::Check(joined == body, "escaping and joining gives the body back");
  return 0;
}
