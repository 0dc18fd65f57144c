#pragma once
// Timing shared by the benchmarks: the best of repeated runs, so a busy machine skews less.

#include <algorithm>
#include <array>
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

// Runs each of `works` once per round, in turn, for `rounds` rounds, so that a change in the
// machine's load touches all of them alike; returns each one's fastest run in seconds.
template <typename... Work>
std::array<double, sizeof...(Work)> BestSecondsAlternating(int rounds, Work... works) {
  std::array<double, sizeof...(Work)> best;
  best.fill(1e30);
  for (int round = 0; round < rounds; ++round) {
    size_t index = 0;
    ((best[index] = std::min(best[index], BestSeconds(works, 0, 1)), ++index), ...);
  }
  return best;
}

}  // namespace testing_support
