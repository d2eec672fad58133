#pragma once

// One thread that sends the parent a heartbeat notification (type "2", empty payload) every
// period and, every tenth tick, checks the process's private bytes: above kMemoryLimitBytes it
// logs the breach, asks the main window to shut down, and ends.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

inline constexpr std::chrono::nanoseconds kHeartbeatPeriod{3'000'000'000};
inline constexpr std::uint64_t kMemoryLimitBytes = 1048576000;  // 1000 MiB

struct MemoryCounters {
  std::uint64_t privateUsage = 0;
  std::uint64_t workingSetSize = 0;
};

// The process's counters; nullopt when they cannot be read.
std::optional<MemoryCounters> ReadMemoryCounters();

struct HeartbeatSettings {
  std::chrono::nanoseconds period = kHeartbeatPeriod;
  std::function<std::optional<MemoryCounters>()> memoryProbe = ReadMemoryCounters;
};

// Starts the thread unless it runs; `settings` exist for tests. Main thread.
void StartHeartbeat(HeartbeatSettings settings = {});

// Stops the thread and joins it, promptly (the wake-up cannot be lost), also after a breach.
// Main thread.
void StopHeartbeat();
