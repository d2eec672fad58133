#include "logging/log_time.h"

#include <ctime>

#include "logging/log_platform.h"

namespace LarkLogging {

LogTime SystemLogTime() {
  return std::chrono::time_point_cast<LogTicks>(std::chrono::system_clock::now());
}

namespace {

enum class Stamp { kFile, kLine };

// The formats stay literals so that the compiler checks them.
std::size_t FormatLocalTime(LogTime moment, Stamp stamp, char* out, std::size_t size) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(moment);
  const std::tm local = LocalTime(static_cast<std::time_t>(seconds.time_since_epoch().count()));
  return stamp == Stamp::kFile ? std::strftime(out, size, "%Y%m%d_%H%M%S", &local)
                               : std::strftime(out, size, "%Y-%m-%d %H:%M:%S", &local);
}

}  // namespace

std::string FileTimestamp(LogTime moment) {
  char text[64];
  return std::string(text, FormatFileTimestamp(moment, text, sizeof text));
}

std::string LineTimestamp(LogTime moment) {
  char text[64];
  return std::string(text, FormatLineTimestamp(moment, text, sizeof text));
}

std::size_t FormatFileTimestamp(LogTime moment, char* out, std::size_t size) {
  return FormatLocalTime(moment, Stamp::kFile, out, size);
}

std::size_t FormatLineTimestamp(LogTime moment, char* out, std::size_t size) {
  const std::size_t length = FormatLocalTime(moment, Stamp::kLine, out, size);
  if (size - length < 5) return 0;
  const auto milliseconds =
      static_cast<int>((std::chrono::floor<std::chrono::milliseconds>(moment) -
                        std::chrono::floor<std::chrono::seconds>(moment))
                           .count());
  char* fraction = out + length;
  fraction[0] = '.';
  fraction[1] = static_cast<char>('0' + milliseconds / 100);
  fraction[2] = static_cast<char>('0' + milliseconds / 10 % 10);
  fraction[3] = static_cast<char>('0' + milliseconds % 10);
  fraction[4] = '\0';
  return length + 4;
}

}  // namespace LarkLogging
