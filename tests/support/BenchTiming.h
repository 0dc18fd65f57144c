#pragma once
// Timing shared by the benchmarks: the best of repeated runs, so a busy machine skews less.

#include <algorithm>
#include <chrono>

namespace testing_support {

// Runs `work` at least `minimumRuns` times and until `minimum` seconds have passed; returns the
// fastest run's seconds.
template <typename Work>
double BestSeconds(Work work, double minimum = 1.0, int minimumRuns = 3) {
  using Clock = std::chrono::steady_clock;
  double best = 1e30;
  double total = 0;
  for (int runs = 0; runs < minimumRuns || total < minimum; ++runs) {
    auto start = Clock::now();
    work();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::min(best, seconds);
    total += seconds;
  }
  return best;
}

}  // namespace testing_support
