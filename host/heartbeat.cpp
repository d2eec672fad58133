#include "host/heartbeat.h"

#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/active_endpoint.h"
#include "host/main_window.h"
#include "logging/log.h"
#include "rpc/rpc_endpoint.h"

namespace {

std::atomic<bool> HeartbeatRunning{false};
std::mutex g_heartbeatMutex;
std::condition_variable g_heartbeatSignal;
std::thread g_heartbeatThread;

constexpr char kHeartbeatType[] = "2";

void ReportBreach(const MemoryCounters& counters) {
  LogLine("StartHeartbeat::<lambda_1>::operator ()",
          "Memory limit exceeded -- private=", counters.privateUsage >> 20,
          " MB > limit=", kMemoryLimitBytes >> 20, " MB, working=", counters.workingSetSize >> 20,
          " MB. Requesting shutdown.");
  if (MainWindow != nullptr) PostMessageW(MainWindow, WM_APP_SHUTDOWN, 0, 0);
}

void Beat(const HeartbeatSettings& settings) {
  std::unique_lock lock(g_heartbeatMutex);
  std::uint32_t ticks = 0;
  while (HeartbeatRunning.load()) {
    const auto deadline = std::chrono::steady_clock::now() + settings.period;
    g_heartbeatSignal.wait_until(lock, deadline, [] { return !HeartbeatRunning.load(); });
    if (!HeartbeatRunning.load()) return;

    try {
      if (AnonRpc::EndpointSlot::Lease endpoint = ActiveEndpoint.Acquire())
        endpoint->Sender().Enqueue(kHeartbeatType, "");

      if (++ticks % 10 == 0 && settings.memoryProbe) {
        const std::optional<MemoryCounters> counters = settings.memoryProbe();
        if (counters && counters->privateUsage > kMemoryLimitBytes) {
          ReportBreach(*counters);
          return;  // the flag stays set: no more heartbeats until the shutdown stops us
        }
      }
    } catch (...) {
      // Out of memory, most likely: this tick is lost, the next may fare better.
    }
  }
}

}  // namespace

std::optional<MemoryCounters> ReadMemoryCounters() {
  PROCESS_MEMORY_COUNTERS_EX record{};
  record.cb = sizeof(record);
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(),
                               reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&record), sizeof(record)))
    return std::nullopt;
  return MemoryCounters{record.PrivateUsage, record.WorkingSetSize};
}

void StartHeartbeat(HeartbeatSettings settings) {
  if (HeartbeatRunning.exchange(true)) return;
  g_heartbeatThread = std::thread([settings = std::move(settings)] { Beat(settings); });
}

void StopHeartbeat() {
  {
    // Under the mutex: the thread is either waiting (and is woken) or will see the flag.
    std::lock_guard lock(g_heartbeatMutex);
    if (!HeartbeatRunning.exchange(false)) return;
  }
  g_heartbeatSignal.notify_all();
  if (g_heartbeatThread.joinable()) g_heartbeatThread.join();
}
