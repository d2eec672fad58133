#include "parent/host_exit.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <regex>
#include <system_error>

#include "logging/log_files.h"

namespace LarkParent {

using LarkLogging::kCrashDumpExtension;
using LarkLogging::kCrashDumpPrefix;
using LarkLogging::kLogFileName;

namespace {

std::string NewestDumpOf(std::uint32_t processId, const std::filesystem::path& folder) {
  const std::string ending = "_" + std::to_string(processId) + std::string(kCrashDumpExtension);
  std::string newest;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    try {
      // The local time in the name orders one process's dumps.
      const std::string name = it->path().filename().string();
      if (name.starts_with(kCrashDumpPrefix) && name.ends_with(ending) && name > newest)
        newest = name;
    } catch (const std::system_error&) {
      // A name without a narrow form is no dump of ours.
    }
  }
  return newest;
}

// What the host's shutdown watchdog logged before it ended the process.
struct HangLine {
  std::string seconds;     // the watchdog's bound
  std::string engineCall;  // the export still running; empty when none was
  std::string dump;        // empty when the line names none
};

// The last watchdog line of the log in `folder` that is process `processId`'s: its dump carries
// the process id; a line without a dump is taken as the latest host's.
std::optional<HangLine> LastHangLineOf(std::uint32_t processId,
                                       const std::filesystem::path& folder) {
  static const std::regex kLine(
      R"(\[HangWatchdog\] Shutdown did not finish within ([0-9]+) s \(0xC0000194[^)]*\): )"
      R"((?:(\S+) has run for .*?|no engine call running.*?))"
      R"((?:; minidump (\S+))?\r?$)");
  const std::string ending = "_" + std::to_string(processId) + std::string(kCrashDumpExtension);
  std::ifstream log(folder / std::string(kLogFileName), std::ios::binary);
  std::optional<HangLine> last;
  std::smatch match;
  for (std::string line; std::getline(log, line);) {
    if (line.find("[HangWatchdog] Shutdown did not finish") == std::string::npos ||
        !std::regex_search(line, match, kLine))
      continue;
    HangLine hang{match[1], match[2], match[3]};
    if (hang.dump.empty() || hang.dump.ends_with(ending)) last = std::move(hang);
  }
  return last;
}

std::string DescribeHang(std::uint32_t processId, const std::filesystem::path& hostFolder) {
  std::optional<HangLine> line;
  try {
    line = LastHangLineOf(processId, hostFolder);
  } catch (const std::exception&) {
    // An unreadable log, or one with a line beyond the regex's reach, tells nothing.
  }
  if (!line) {
    // A log rotated or deleted since: the dump alone still tells where it hung.
    const std::string dump = NewestDumpOf(processId, hostFolder);
    return "host ended itself with 0xC0000194 after its shutdown hung; " +
           (dump.empty() ? "it left no log line or minidump" : "see " + dump);
  }
  return "host ended itself after " +
         (line->engineCall.empty()
              ? "its shutdown did not finish within " + line->seconds + " s"
              : line->engineCall + " did not return for " + line->seconds + " s") +
         (line->dump.empty() ? "; it left no minidump" : "; see " + line->dump);
}

}  // namespace

std::string DescribeHostExit(std::uint32_t exitCode, std::uint32_t processId,
                             const std::filesystem::path& hostFolder) {
  if (!IsExceptionExitCode(exitCode)) return "host exited with code " + std::to_string(exitCode);
  if (exitCode == kHostHungExitCode) return DescribeHang(processId, hostFolder);
  char code[16];
  (void)std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(exitCode));  // fits
  const std::string dump = NewestDumpOf(processId, hostFolder);
  return std::string("host crashed with ") + code +
         (dump.empty() ? "; it left no minidump" : "; see " + dump);
}

}  // namespace LarkParent
