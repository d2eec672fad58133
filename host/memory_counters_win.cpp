#include <windows.h>
#include <psapi.h>

#include "host/memory_counters.h"

namespace LarkHost {

std::optional<MemoryCounters> ReadMemoryCounters() {
  PROCESS_MEMORY_COUNTERS_EX record{};
  record.cb = sizeof(record);
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(),
                               reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&record), sizeof(record)))
    return std::nullopt;
  return MemoryCounters{record.PrivateUsage, record.WorkingSetSize};
}

}  // namespace LarkHost
