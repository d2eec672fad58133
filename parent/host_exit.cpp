#include "parent/host_exit.h"

#include <cstdio>
#include <system_error>

#include "logging/log_files.h"

namespace LarkParent {

using LarkLogging::kCrashDumpExtension;
using LarkLogging::kCrashDumpPrefix;

namespace {

// NTSTATUS values with a severity or the customer bit set: what an exception ends a process
// with (0xC0000005, abort()'s 0x40000015, a compiler's C++ exception code). The host's own exit
// codes are small numbers.
constexpr std::uint32_t kLowestExceptionCode = 0x20000000;

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

}  // namespace

std::string DescribeHostExit(std::uint32_t exitCode, std::uint32_t processId,
                             const std::filesystem::path& hostFolder) {
  if (exitCode < kLowestExceptionCode) return "host exited with code " + std::to_string(exitCode);
  char code[16];
  (void)std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(exitCode));  // fits
  const std::string dump = NewestDumpOf(processId, hostFolder);
  return std::string("host crashed with ") + code +
         (dump.empty() ? "; it left no minidump" : "; see " + dump);
}

}  // namespace LarkParent
