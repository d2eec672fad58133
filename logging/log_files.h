#pragma once

// The files of the log directory. Rotation moves the current log aside once it reaches
// kMaxLogBytes; the purge pass deletes rotated logs older than kLogRetention and every streamer
// log. Both run only inside Logger (under its lock, or inside its creation), look at the file
// system afresh on every call, and never throw or report anything: whatever they cannot do is
// left as it is, and logging goes on.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "logging/log_time.h"

namespace LarkLogging {

inline constexpr std::string_view kLogFileName = "LarkRemoteStreamer.dat";
inline constexpr std::uint64_t kMaxLogBytes = 4194304;
inline constexpr LogTicks kLogRetention = std::chrono::days(15);

// Minidumps that the host's crash handler leaves in the log directory, named kCrashDumpPrefix,
// the local time as "%Y%m%d_%H%M%S", "_", the process id in decimal and kCrashDumpExtension.
// The handler keeps the kMaxCrashDumps newest.
inline constexpr std::string_view kCrashDumpPrefix = "LarkRemoteHost_";
inline constexpr std::string_view kCrashDumpExtension = ".dmp";
inline constexpr int kMaxCrashDumps = 5;

// The current log of a log directory: the directory, "//" and kLogFileName, kept exactly so.
std::string LogPath(std::string_view directory);

// `name` in `directory` (both narrow): one separator between them unless the directory is
// empty or already ends with one.
std::string LogDirectoryFile(std::string_view directory, std::string_view name);

struct FileCloser {
  void operator()(std::FILE* file) const { (void)std::fclose(file); }  // nowhere to report it
};
using OpenedFile = std::unique_ptr<std::FILE, FileCloser>;

// fopen by the narrow name, so the C runtime applies the file-system code page. Null on failure.
OpenedFile OpenFile(const std::string& name, const char* mode);

// logPath, "_", and the local time of `now` as "%Y%m%d_%H%M%S".
std::string RotatedName(const std::string& logPath, LogTime now);

// Runs PurgeOldLogs, then renames the log at logPath to RotatedName once it holds kMaxLogBytes
// or more. When that name is taken (a second rotation within one second), "_1", "_2", ... is
// appended, so a rotated log is never overwritten and its name still begins with the log's.
void RotateIfNeeded(const std::string& directory, const std::string& logPath, LogTime now) noexcept;

// Deletes the regular files directly in `directory` whose narrow names begin with
// "lrp_streamer.txt", and those beginning with kLogFileName and "_" that were last written more
// than kLogRetention before `now`. Names are compared byte for byte, case-sensitively. An entry
// whose name has no narrow form, whose status cannot be read or that cannot be deleted is
// skipped, and the pass goes on with the next. A missing directory ends the pass quietly.
void PurgeOldLogs(const std::string& directory, LogTime now) noexcept;

// The name of the dump of process `processId` crashing at `moment`, into `out` with a
// terminating zero and without allocating: its length, or 0 when it does not fit in `size`.
std::size_t FormatCrashDumpName(LogTime moment, std::uint32_t processId, char* out,
                                std::size_t size);

}  // namespace LarkLogging
