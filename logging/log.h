#pragma once

// The helper every log site uses:
//   LogLine("AnonRpc::NotifySender::Enqueue", "queue overflow (type=", type, ")");
// It asks the process's Logger, and only when logging is on builds "[" + tag + "] " + parts and
// writes it. Tags are literal strings, spelled as the system defines them; never __FUNCTION__.
// Parts: std::string, std::string_view, string literals and const char* (null adds nothing),
// char, and integers in decimal. LogLine never throws: a failed creation of the logger or a
// failed write is swallowed.

#include <charconv>
#include <string>
#include <string_view>
#include <type_traits>

#include "logging/logger.h"

namespace LarkLogging {

namespace LogLineDetail {

template <typename Part>
void Append(std::string& message, const Part& part) {
  static_assert(!std::is_same_v<Part, bool>, "spell a bool out in words");
  if constexpr (std::is_same_v<Part, char>) {
    message += part;
  } else if constexpr (std::is_integral_v<Part>) {
    char digits[24];  // 20 digits of a 64-bit value and a sign
    message.append(digits, std::to_chars(digits, digits + sizeof digits, part).ptr);
  } else if constexpr (std::is_convertible_v<const Part&, const char*>) {
    const char* text = part;
    if (text != nullptr) message += text;
  } else {
    message += std::string_view(part);
  }
}

}  // namespace LogLineDetail

// The same for a given logger.
template <typename... Parts>
void LogLine(Logger& logger, std::string_view tag, const Parts&... parts) noexcept {
  if (!logger.Enabled()) return;
  try {
    std::string message = "[";
    message += tag;
    message += "] ";
    (LogLineDetail::Append(message, parts), ...);
    logger.Write(message);
  } catch (...) {
    // Out of memory: the line is dropped.
  }
}

template <typename... Parts>
void LogLine(std::string_view tag, const Parts&... parts) noexcept {
  try {
    LogLine(*Logger::Instance(), tag, parts...);
  } catch (...) {
    // The logger could not be created; the next log site tries again.
  }
}

// For a site whose parts cost more than the line itself (a payload masked for the log): build
// them only when this is true. Never throws.
inline bool LogEnabled() noexcept {
  try {
    return Logger::Instance()->Enabled();
  } catch (...) {
    return false;
  }
}

}  // namespace LarkLogging
