// The MOF loader on arbitrary text. A refused text must say where; an
// accepted one gives a repository whose classes can be fetched, spawned and
// looked into; and whatever it returns, releasing it frees every object.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "runtime/repository.h"
#include "runtime/testing/host_testing.h"

namespace {

using qmx_fuzz::Check;
using qmx_fuzz::ObjectPtr;

const char kFileName[] = "fuzz.mof";

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// The words after each "class" in the text: the names an accepted text may
// have declared (a guess is enough; GetObject refuses the others).
std::vector<std::string> ClassNames(const std::string& text) {
  std::vector<std::string> names;
  const std::string keyword = "class";
  for (size_t at = text.find(keyword); at != std::string::npos;
       at = text.find(keyword, at + keyword.size())) {
    size_t begin = at + keyword.size();
    while (begin < text.size() && std::isspace(static_cast<unsigned char>(text[begin]))) {
      ++begin;
    }
    size_t end = begin;
    while (end < text.size() && IsNameChar(text[end])) ++end;
    if (end > begin) names.push_back(text.substr(begin, end - begin));
  }
  return names;
}

// Fetches the class, spawns an instance and reads what a host tool reads.
void Explore(IWbemServices* services, const std::string& name) {
  IWbemClassObject* classObject = nullptr;
  if (services->GetObject(name, 0, nullptr, &classObject, nullptr) < 0) return;
  ObjectPtr owner(classObject);
  Check(owner != nullptr, "a class served has an object");
  IWbemClassObject* spawned = nullptr;
  owner->SpawnInstance(0, &spawned);
  ObjectPtr instance(spawned);
  Check(instance != nullptr, "a class spawns an instance");
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
  std::string text = qmx_fuzz::Bytes(data, size);
  int liveBefore = qmx::testing::LiveObjectCount();
  std::string error;
  IWbemServices* services =
      qmx::LoadRepositoryFromText(text, kFileName, &error);
  if (services == nullptr) {
    Check(error.rfind(std::string(kFileName) + ":", 0) == 0,
          "a refused text says where");
  } else {
    for (const std::string& name : ClassNames(text)) Explore(services, name);
    services->Release();
  }
  Check(qmx::testing::LiveObjectCount() == liveBefore,
        "releasing the repository frees every object");
  return 0;
}
