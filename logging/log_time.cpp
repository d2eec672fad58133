#include "logging/log_time.h"

#include <cstdio>
#include <ctime>

#include "logging/log_platform.h"

LogTime SystemLogTime() {
  return std::chrono::time_point_cast<LogTicks>(std::chrono::system_clock::now());
}

std::string FormatLocalTime(LogTime moment, const char* format) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(moment);
  const std::tm local = LocalTime(static_cast<std::time_t>(seconds.time_since_epoch().count()));
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, format, &local);
  return std::string(text, length);
}

std::string LineTimestamp(LogTime moment) {
  const auto milliseconds = std::chrono::floor<std::chrono::milliseconds>(moment) -
                            std::chrono::floor<std::chrono::seconds>(moment);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(milliseconds.count()));
  return FormatLocalTime(moment, "%Y-%m-%d %H:%M:%S") + fraction;
}
