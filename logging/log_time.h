#pragma once

// Moments as the logger sees them: 100-nanosecond ticks since 1 January 1970 UTC, and their
// local-time texts.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

using LogTicks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
using LogTime = std::chrono::sys_time<LogTicks>;

// Where the logger reads "now"; tests inject their own.
using LogClock = std::function<LogTime()>;

// The system clock.
LogTime SystemLogTime();

// The local time of `moment`, whole seconds, formatted with strftime's `format`.
std::string FormatLocalTime(LogTime moment, const char* format);

// "%Y-%m-%d %H:%M:%S" local time, ".", and the milliseconds as three digits.
std::string LineTimestamp(LogTime moment);
