// The samples of tests/samples/methods: one call of every method, in the
// schema's order, with its request and reply as they travel. Tests and the
// fuzz target read them here instead of keeping copies of the wire.

#ifndef QMX_TESTS_SUPPORT_SAMPLES_H_
#define QMX_TESTS_SUPPORT_SAMPLES_H_

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace qmx {
namespace support {

struct Sample {
  std::string method;
  std::vector<std::pair<std::string, std::string>> inputs;  // "Param.Property", value
  std::string request, reply;  // "": the provider answers itself
  std::string journal;         // "": the service journals nothing
  std::string output;          // the JSON members after ReturnValue

  std::string kind() const { return request.empty() ? "" : request.substr(4, 8); }
  // The call as qmx-call takes it.
  std::vector<std::string> Args() const {
    std::vector<std::string> args = {method};
    for (const auto& [name, value] : inputs) args.push_back(name + "=" + value);
    return args;
  }
};

// Every sample in the file's order. A line it cannot read stops the program
// with the line, so that no test runs on half a table.
inline const std::vector<Sample>& Samples() {
  static const std::vector<Sample> samples = [] {
    std::vector<Sample> read;
    std::ifstream file(QMX_SAMPLES_FILE);
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
      const size_t blank = line.find(' '), equals = line.find('=');
      const std::string key = line.substr(0, blank), value = line.substr(blank + 1);
      if (key == "method") read.emplace_back().method = value;
      Sample* sample = read.empty() ? nullptr : &read.back();
      std::string* text = sample == nullptr   ? nullptr
                          : key == "request" ? &sample->request
                          : key == "reply"   ? &sample->reply
                          : key == "journal" ? &sample->journal
                          : key == "output"  ? &sample->output
                                             : nullptr;
      if (text != nullptr) *text = value;
      if (key == "input" && sample != nullptr && equals != std::string::npos) {
        sample->inputs.emplace_back(value.substr(0, equals - blank - 1), line.substr(equals + 1));
      } else if (text == nullptr && key != "method" && !line.empty() && line[0] != '#') {
        std::fprintf(stderr, "%s:%d: cannot read \"%s\"\n", QMX_SAMPLES_FILE, number, line.c_str());
        std::abort();
      }
    }
    return read;
  }();
  return samples;
}

// The sample of method; a test that asks for one the file lacks stops.
inline const Sample& SampleOf(const std::string& method) {
  for (const Sample& sample : Samples()) {
    if (sample.method == method) return sample;
  }
  std::fprintf(stderr, "%s has no sample of %s\n", QMX_SAMPLES_FILE, method.c_str());
  std::abort();
}

// The samples in the order a stateful peer plays them: those with input
// first, so that each Get finds what its Set stored.
inline std::vector<Sample> InPlayOrder() {
  std::vector<Sample> samples;
  for (bool inputs : {true, false}) {
    for (const Sample& sample : Samples()) {
      if (sample.inputs.empty() != inputs) samples.push_back(sample);
    }
  }
  return samples;
}

}  // namespace support
}  // namespace qmx

#endif  // QMX_TESTS_SUPPORT_SAMPLES_H_
