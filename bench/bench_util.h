#pragma once

// Small helpers shared by the benchmarks: medians of repeated timings and the rows of one table.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace lark::bench {

using Clock = std::chrono::steady_clock;

// Runs `measure` `rounds` times; each returns seconds per operation. Returns the median.
inline double Median(int rounds, const std::function<double()>& measure) {
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) samples.push_back(measure());
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// One row of the benchmark table, which ./run bench heads and collects from every benchmark: a
// figure beside its baseline, both measured in the same run, and their ratio. A benchmark
// prints nothing else on standard output; what it says besides goes to standard error.
inline void Row(const std::string& what, double measured, double baseline, const char* unit,
                double scale, const std::string& target = "") {
#if defined(_WIN32)
  constexpr const char* kWhere = "Windows";
#else
  constexpr const char* kWhere = "native";
#endif
  std::printf("| %s | %s | %.2f %s | %.2f %s | %.2f | %s |\n", kWhere, what.c_str(),
              measured * scale, unit, baseline * scale, unit, measured / baseline, target.c_str());
  std::fflush(stdout);
}

}  // namespace lark::bench
