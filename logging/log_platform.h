#pragma once

// The one seam between the logger and the operating system. Narrow names are in the file-system
// code page (ANSI on Windows; on POSIX they are the bytes as they are), and every conversion to
// or from std::filesystem's native form goes through here, never through the C++ library's own.

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace LarkLogging {

// The log directory, without a trailing separator: the directory of LarkRemoteStreamer.dll when
// that module is loaded, else of the module holding this code (on POSIX, of the executable).
// Empty when the name cannot be read or would not fit in 260 characters.
std::string ModuleDirectory();

// Narrow name to file-system path; nullopt when the bytes are not valid in the code page.
std::optional<std::filesystem::path> FileSystemPath(std::string_view narrow);

// File-system path to narrow name; nullopt when any character has no exact narrow form (no
// best-fit substitutes, no default character).
std::optional<std::string> NarrowName(const std::filesystem::path& path);

// Local calendar time of a moment; all fields zero when it cannot be converted.
std::tm LocalTime(std::time_t seconds);

// Appends `bytes` to the file `name` (narrow, as OpenFile takes it) in one write, creating the
// file if it is missing, with no allocation of its own; others may read and write the file
// meanwhile. False when it cannot be opened or written whole.
bool AppendToFile(const std::string& name, std::string_view bytes) noexcept;

}  // namespace LarkLogging
