#include "logging/flag_file.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include "logging/log_files.h"
#include "logging/log_platform.h"

namespace LarkLogging {

namespace {

constexpr std::string_view kLoggingOn = "logfile_on";

}  // namespace

bool LoadFlags(const std::string& directory) noexcept {
  try {
    const std::string name = LogDirectoryFile(directory, kFlagFileName);
    const std::optional<std::filesystem::path> path = FileSystemPath(name);
    std::error_code error;
    // Only a regular file: a pipe or a device under that name could block or never end.
    if (!path || !std::filesystem::is_regular_file(*path, error)) return false;
    const OpenedFile file = OpenFile(name, "rb");
    if (!file) return false;
    // Searched in pieces, keeping the tail of each so a keyword across two pieces is found.
    std::string window;
    char piece[4096];
    while (const std::size_t read = std::fread(piece, 1, sizeof piece, file.get())) {
      window.append(piece, read);
      if (window.find(kLoggingOn) != std::string::npos) return true;
      window.erase(0, window.size() - std::min(window.size(), kLoggingOn.size() - 1));
    }
  } catch (...) {
    // Out of memory: logging stays off.
  }
  return false;
}

}  // namespace LarkLogging
