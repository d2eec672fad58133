#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace lark::test {

// Threads alive in this process right now.
std::size_t ThreadCount();

#if defined(_WIN32)
// What another process holds right now, as the system sees it. Handles come from the system's
// handle list (GetProcessHandleCount reads 0 under Wine); the pagefile figure is the committed
// private memory (PrivateUsage, which also reads 0 under Wine, is not used).
struct ProcessFigures {
  std::size_t threads = 0;
  std::size_t handles = 0;
  std::uint64_t workingSet = 0;
  std::uint64_t pagefile = 0;
};
// nullopt when the process cannot be opened.
std::optional<ProcessFigures> FiguresOf(std::uint32_t processId);
#endif

}  // namespace lark::test
