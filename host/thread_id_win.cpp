#include <windows.h>

#include "host/hang_watchdog.h"

namespace LarkHost {

std::uint64_t CurrentThreadId() {
  return GetCurrentThreadId();
}

}  // namespace LarkHost
