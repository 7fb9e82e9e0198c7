#include "bench/harness.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace qmx {
namespace bench {
namespace {

// A "Name:   1234 kB" line of /proc/self/status; -1 when absent.
long StatusKib(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t length = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, length, name) == 0 && line.size() > length &&
        line[length] == ':') {
      return std::atol(line.c_str() + length + 1);
    }
  }
  return -1;
}

double Percentile(const std::vector<double>& sorted, double fraction) {
  size_t rank = static_cast<size_t>(fraction * sorted.size() + 0.999999);
  rank = std::min(std::max<size_t>(rank, 1), sorted.size());
  return sorted[rank - 1];
}

}  // namespace

Stats Summarize(std::vector<double> samples_us) {
  Stats stats;
  stats.samples = samples_us.size();
  if (samples_us.empty()) return stats;
  std::sort(samples_us.begin(), samples_us.end());
  size_t middle = samples_us.size() / 2;
  stats.median_us = samples_us.size() % 2 == 1
                        ? samples_us[middle]
                        : (samples_us[middle - 1] + samples_us[middle]) / 2;
  stats.p90_us = Percentile(samples_us, 0.9);
  return stats;
}

double NowUs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e6 +
         static_cast<double>(now.tv_nsec) / 1e3;
}

Stats Measure(int warmup, int reps, const std::function<void()>& fn,
              const std::function<void()>& setup) {
  Suite suite;
  suite.Add("", fn, setup);
  return suite.Run(warmup, reps).front();
}

long CurrentRssKib() { return StatusKib("VmRSS"); }

long PeakRssKib() {
  long peak = StatusKib("VmHWM");
  if (peak >= 0) return peak;
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool ResetPeakRss() {
  // "5" starts VmHWM over (Linux 4.0 and later).
  FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (file == nullptr) return false;
  bool written = std::fputs("5", file) >= 0;
  return std::fclose(file) == 0 && written;
}

void Suite::Add(const std::string& name, std::function<void()> fn,
                std::function<void()> setup) {
  names_.push_back(name);
  samplers_.push_back({std::move(fn), std::move(setup)});
}

void Suite::Sampler::RunOnce() const {
  if (setup) setup();
  fn();
}

double Suite::Sampler::TimeOnce() const {
  if (setup) setup();
  double start = NowUs();
  fn();
  return NowUs() - start;
}

std::vector<Stats> Suite::Run(int warmup, int reps) const {
  for (int round = 0; round < warmup; ++round) {
    for (const Sampler& sampler : samplers_) sampler.RunOnce();
  }
  std::vector<std::vector<double>> samples(samplers_.size());
  for (auto& list : samples) list.reserve(static_cast<size_t>(reps));
  for (int round = 0; round < reps; ++round) {
    for (size_t i = 0; i < samplers_.size(); ++i) {
      samples[i].push_back(samplers_[i].TimeOnce());
    }
  }
  std::vector<Stats> results;
  for (auto& list : samples) results.push_back(Summarize(std::move(list)));
  return results;
}

}  // namespace bench
}  // namespace qmx
