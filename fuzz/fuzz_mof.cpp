// The MOF loader on arbitrary text. A refused text must say where; an
// accepted one gives a repository whose classes can be fetched, spawned and
// looked into; and whatever it returns, releasing it frees every object.

#include <cstddef>
#include <cstdint>
#include <regex>
#include <set>
#include <string>

#include "fuzz/fuzz_support.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"
#include "tests/provider/host_objects.h"

namespace {

using qmx_fuzz::Check;
using qmx_test::ObjectPtr;

const char kFileName[] = "fuzz.mof";

// Fetches the class, spawns an instance and reads what a host tool reads.
void Explore(IWbemServices* services, const std::string& name) {
  IWbemClassObject* found = nullptr;
  if (services->GetObject(name, 0, nullptr, &found, nullptr) < 0) return;
  ObjectPtr owner(found);
  IWbemClassObject* spawned = nullptr;
  Check(owner && owner->SpawnInstance(0, &spawned) >= 0 && spawned != nullptr,
        "a class served spawns an instance");
  ObjectPtr instance(spawned);
  for (const std::string& property : instance->GetPropertyNames()) {
    instance->GetEmbeddedClassName(property.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qmx_fuzz::TraceToMemoryOnly();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  int liveBefore = qmx::testing::LiveObjectCount();
  std::string error;
  IWbemServices* services = qmx::LoadRepositoryFromText(text, kFileName, &error);
  qmx_fuzz::g_accepted = services != nullptr;
  if (services == nullptr) {
    Check(error.rfind(std::string(kFileName) + ":", 0) == 0, "a refused text says where");
  } else {
    // Every word of the text, among them the names of the classes it
    // declared (GetObject refuses the others).
    static const std::regex kWord(R"(\w+)");
    const std::set<std::string> words(
        std::sregex_token_iterator(text.begin(), text.end(), kWord), {});
    for (const std::string& word : words) Explore(services, word);
    services->Release();
  }
  Check(qmx::testing::LiveObjectCount() == liveBefore, "releasing the repository frees every object");
  return 0;
}
