#include <fstream>
#include <string>

#include "host/memory_counters.h"

namespace LarkHost {

// Private memory is what the process itself put in RAM (RssAnon), the working set all of it
// (VmRSS); both in kB in /proc/self/status.
std::optional<MemoryCounters> ReadMemoryCounters() {
  std::ifstream status("/proc/self/status");
  MemoryCounters counters;
  bool found = false;
  for (std::string name; status >> name;) {
    std::uint64_t kilobytes = 0;
    if (name == "RssAnon:" && status >> kilobytes) {
      counters.privateUsage = kilobytes * 1024;
      found = true;
    } else if (name == "VmRSS:" && status >> kilobytes) {
      counters.workingSetSize = kilobytes * 1024;
    }
    status.ignore(1 << 16, '\n');
  }
  return found ? std::optional(counters) : std::nullopt;
}

}  // namespace LarkHost
