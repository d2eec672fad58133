#include <windows.h>

#include <string>

#include "parent/module_folder.h"

namespace LarkParent {

std::filesystem::path ModuleFolder(const void* address) {
  HMODULE module = nullptr;
  if (address != nullptr && !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                    GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                static_cast<LPCWSTR>(address), &module))
    return {};
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return std::filesystem::path(path.substr(0, length)).parent_path();
    path.resize(path.size() * 2);
  }
}

}  // namespace LarkParent
