#pragma once

// Small helpers shared by the benchmarks: medians of repeated timings and a printed table.

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

inline void Row(const std::string& what, double measured, double baseline, const char* unit,
                double scale, const std::string& target) {
  std::printf("  %-46s %10.2f %-6s baseline %10.2f %-6s ratio %5.2f  %s\n", what.c_str(),
              measured * scale, unit, baseline * scale, unit, measured / baseline, target.c_str());
}

}  // namespace lark::bench
