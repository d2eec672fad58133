// Arbitrary flag file contents: logging is on exactly when they hold "logfile_on".

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "logging/flag_file.h"

namespace LarkLogging {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path directory = [] {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("lark-flag-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  const std::string contents(reinterpret_cast<const char*>(data), size);
  std::ofstream(directory / "lklogfile.txt", std::ios::binary | std::ios::trunc) << contents;
  if (LoadFlags(directory.string()) != (contents.find("logfile_on") != std::string::npos))
    __builtin_trap();
  return 0;
}

}  // namespace LarkLogging
