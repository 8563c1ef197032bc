// Small helpers of the end-to-end benchmark programs: wall-clock spans and
// medians of samples. Header only, no state; any thread.
#ifndef VARNEK_BENCH_BENCH_STATS_H
#define VARNEK_BENCH_BENCH_STATS_H

#include <algorithm>
#include <chrono>
#include <vector>

namespace benchstats {

using Clock = std::chrono::steady_clock;

// Seconds from `from` to `to`.
inline double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// The median of `values` (not empty).
inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace benchstats

#endif  // VARNEK_BENCH_BENCH_STATS_H
