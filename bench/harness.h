// A small timing harness that builds on every target (the 32-bit product
// build included): warm-up, repeated samples, median and 90th percentile,
// and the process's resident memory. Samplers of one Suite run interleaved,
// one sample each in turn, so that a slow moment of a shared machine falls
// on all of them alike and their ratios stay fair.

#ifndef QMX_BENCH_HARNESS_H_
#define QMX_BENCH_HARNESS_H_

#include <functional>
#include <string>
#include <vector>

namespace qmx {
namespace bench {

struct Stats {
  double median_us = 0;
  double p90_us = 0;
  size_t samples = 0;
};

// Median and 90th percentile (nearest rank) of the samples.
Stats Summarize(std::vector<double> samples_us);

// Microseconds on a steady clock.
double NowUs();

// Runs fn warmup times untimed, then reps times, one sample per run; setup,
// when given, runs untimed before each run.
Stats Measure(int warmup, int reps, const std::function<void()>& fn,
              const std::function<void()>& setup = nullptr);

// Resident memory of this process in KiB: now (VmRSS) and its peak (VmHWM,
// or getrusage's maximum where /proc is not readable).
long CurrentRssKib();
long PeakRssKib();
// Starts the peak over from the current RSS; false when the kernel refuses.
bool ResetPeakRss();

// Samplers timed in turn, one sample of each per round.
class Suite {
 public:
  // setup, when given, runs untimed before each run of fn.
  void Add(const std::string& name, std::function<void()> fn,
           std::function<void()> setup = nullptr);
  // Warm-up rounds, then timed rounds; the results in the order added.
  std::vector<Stats> Run(int warmup, int reps) const;
  const std::vector<std::string>& names() const { return names_; }

 private:
  struct Sampler {
    std::function<void()> fn;
    std::function<void()> setup;
    void RunOnce() const;
    double TimeOnce() const;
  };
  std::vector<std::string> names_;
  std::vector<Sampler> samplers_;
};

}  // namespace bench
}  // namespace qmx

#endif  // QMX_BENCH_HARNESS_H_
