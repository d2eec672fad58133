#pragma once

// The one seam between the heartbeat's memory watch and the operating system.

#include <cstdint>
#include <optional>

namespace LarkHost {

struct MemoryCounters {
  std::uint64_t privateUsage = 0;
  std::uint64_t workingSetSize = 0;
};

// This process's counters (K32GetProcessMemoryInfo on Windows, /proc elsewhere); nullopt when
// they cannot be read.
std::optional<MemoryCounters> ReadMemoryCounters();

}  // namespace LarkHost
