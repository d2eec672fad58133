#pragma once

// Moments as the logger sees them: 100-nanosecond ticks since 1 January 1970 UTC, and their
// local-time texts.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace LarkLogging {

using LogTicks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
using LogTime = std::chrono::sys_time<LogTicks>;

// Where the logger reads "now"; tests inject their own.
using LogClock = std::function<LogTime()>;

// The system clock.
LogTime SystemLogTime();

// "%Y%m%d_%H%M%S" local time, as in the names of rotated logs and dumps.
std::string FileTimestamp(LogTime moment);

// "%Y-%m-%d %H:%M:%S" local time, ".", and the milliseconds as three digits.
std::string LineTimestamp(LogTime moment);

// The two above into `out`, without allocating, for a crash handler that must not touch the
// heap: the length written, or 0 when the text and its terminating zero do not fit in `size`.
std::size_t FormatFileTimestamp(LogTime moment, char* out, std::size_t size);
std::size_t FormatLineTimestamp(LogTime moment, char* out, std::size_t size);

}  // namespace LarkLogging
