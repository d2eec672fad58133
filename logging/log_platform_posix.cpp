#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <system_error>

#include "logging/log_platform.h"

namespace LarkLogging {

std::string ModuleDirectory() {
  std::error_code error;
  std::string name = std::filesystem::read_symlink("/proc/self/exe", error).native();
  if (error) return {};
  const std::size_t cut = name.rfind('/');
  if (cut != std::string::npos) name.resize(cut);
  return name;
}

std::optional<std::filesystem::path> FileSystemPath(std::string_view narrow) {
  return std::filesystem::path(std::string(narrow));
}

std::optional<std::string> NarrowName(const std::filesystem::path& path) {
  return path.native();
}

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return std::tm{};
  return local;
}

bool AppendToFile(const std::string& name, std::string_view bytes) noexcept {
  const int file = open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (file < 0) return false;
  const bool whole = write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(file);
  return whole;
}

}  // namespace LarkLogging
