#include <unistd.h>

#include "host/hang_watchdog.h"

namespace LarkHost {

std::uint64_t CurrentThreadId() {
  return static_cast<std::uint64_t>(gettid());
}

}  // namespace LarkHost
