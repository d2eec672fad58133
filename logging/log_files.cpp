#include "logging/log_files.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <optional>
#include <system_error>

#include "logging/log_platform.h"

namespace LarkLogging {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kStreamerLogPrefix = "lrp_streamer.txt";

bool IsSeparator(char c) {
  return c == '/' || c == static_cast<char>(fs::path::preferred_separator);
}

std::optional<LogTime> LastWriteTime(const fs::path& file) {
  std::error_code error;
  const fs::file_time_type written = fs::last_write_time(file, error);
  if (error) return std::nullopt;
  return std::chrono::time_point_cast<LogTicks>(fs::file_time_type::clock::to_sys(written));
}

void PurgeEntry(const fs::directory_entry& entry, const std::string& rotatedPrefix, LogTime now) {
  const std::optional<std::string> name = NarrowName(entry.path().filename());
  if (!name) return;
  const bool streamerLog = name->starts_with(kStreamerLogPrefix);
  const bool rotatedLog = name->starts_with(rotatedPrefix);
  // Names first: the status costs a system call, and most entries are neither.
  if (!streamerLog && !rotatedLog) return;
  std::error_code error;
  if (!entry.is_regular_file(error)) return;
  if (rotatedLog) {
    const std::optional<LogTime> written = LastWriteTime(entry.path());
    if (!written || now - *written <= kLogRetention) return;
  }
  fs::remove(entry.path(), error);
}

}  // namespace

std::string LogPath(std::string_view directory) {
  std::string path(directory);
  path += "//";
  path += kLogFileName;
  return path;
}

std::string LogDirectoryFile(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (!path.empty() && !IsSeparator(path.back())) {
    path += static_cast<char>(fs::path::preferred_separator);
  }
  path += name;
  return path;
}

OpenedFile OpenFile(const std::string& name, const char* mode) {
  return OpenedFile(std::fopen(name.c_str(), mode));
}

std::string RotatedName(const std::string& logPath, LogTime now) {
  return logPath + "_" + FileTimestamp(now);
}

void RotateIfNeeded(const std::string& directory, const std::string& logPath,
                    LogTime now) noexcept {
  try {
    PurgeOldLogs(directory, now);
    const std::optional<fs::path> current = FileSystemPath(logPath);
    if (!current) return;
    std::error_code error;
    const std::uintmax_t size = fs::file_size(*current, error);  // fails when there is no log
    if (error || size < kMaxLogBytes) return;
    const std::string rotated = RotatedName(logPath, now);
    std::string name = rotated;
    for (int suffix = 1;; ++suffix) {
      const std::optional<fs::path> target = FileSystemPath(name);
      if (!target) return;
      const bool taken = fs::exists(*target, error);
      if (error) return;
      if (!taken) {
        fs::rename(*current, *target, error);
        return;
      }
      name = rotated + "_" + std::to_string(suffix);
    }
  } catch (...) {
    // Out of memory: the line is still written to the current log.
  }
}

void PurgeOldLogs(const std::string& directory, LogTime now) noexcept {
  try {
    // With its separator, a bare drive "C:" lists the drive's root, where such a log lies,
    // rather than the drive's current directory.
    const std::optional<fs::path> listed = FileSystemPath(LogDirectoryFile(directory, ""));
    if (!listed || listed->empty()) return;
    const std::string rotatedPrefix = std::string(kLogFileName) + "_";
    std::error_code error;
    for (fs::directory_iterator it(*listed, error), end; !error && it != end; it.increment(error)) {
      PurgeEntry(*it, rotatedPrefix, now);
    }
  } catch (...) {
    // Out of memory: the entries not yet visited wait for the next pass.
  }
}

std::size_t FormatCrashDumpName(LogTime moment, std::uint32_t processId, char* out,
                                std::size_t size) {
  char* const end = out + size;
  if (size < kCrashDumpPrefix.size()) return 0;
  char* at = std::copy(kCrashDumpPrefix.begin(), kCrashDumpPrefix.end(), out);
  const std::size_t stamp = FormatFileTimestamp(moment, at, static_cast<std::size_t>(end - at));
  if (stamp == 0 || at + stamp == end) return 0;
  at += stamp;
  *at++ = '_';
  const std::to_chars_result digits = std::to_chars(at, end, processId);
  if (digits.ec != std::errc() ||
      end - digits.ptr < static_cast<std::ptrdiff_t>(kCrashDumpExtension.size()) + 1) {
    return 0;
  }
  at = std::copy(kCrashDumpExtension.begin(), kCrashDumpExtension.end(), digits.ptr);
  *at = '\0';
  return static_cast<std::size_t>(at - out);
}

}  // namespace LarkLogging
