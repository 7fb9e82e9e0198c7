// A fuzz target as a plain program, for the default test run: it feeds the
// target every seed in the folders and files given, so that each keeps the
// target's checks and is taken as good (qmx_fuzz::g_accepted) unless its
// name starts with "bad_", and the other way round. A seed that went stale
// with a change of the wire fails here, not only when someone fuzzes.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> seeds;
  for (int i = 1; i < argc; ++i) {
    if (!fs::is_directory(argv[i])) seeds.push_back(argv[i]);
    if (fs::is_directory(argv[i])) seeds.insert(seeds.end(), fs::directory_iterator(argv[i]), {});
  }
  std::sort(seeds.begin(), seeds.end());
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  int wrong = 0;
  for (const fs::path& seed : seeds) {
    std::ifstream in(seed, std::ios::binary);
    const std::string data{std::istreambuf_iterator<char>(in), {}};
    qmx_fuzz::g_accepted = false;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    const bool bad = seed.filename().string().rfind("bad_", 0) == 0;
    if (!in || qmx_fuzz::g_accepted == bad) {
      std::fprintf(stderr, "%s: %s\n", seed.c_str(),
                   !in ? "cannot be read" : bad ? "taken as good" : "refused");
      ++wrong;
    }
  }
  std::printf("%zu seeds, %d not as their names say\n", seeds.size(), wrong);
  return seeds.empty() || wrong > 0 ? 1 : 0;
}
