#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace lark::test {

// The folder of the running test binary, where the build puts the host, the stand-in engine
// and the tools.
inline std::filesystem::path BinDirectory() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return std::filesystem::path(path).parent_path();
}

}  // namespace lark::test
