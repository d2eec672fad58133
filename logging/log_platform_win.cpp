#include <windows.h>

#include <climits>

#include "logging/log_platform.h"
#include "protocol/lark_protocol.h"
#include "win/unique_handle.h"

namespace LarkLogging {

namespace {

// Any object of this module will do to find the module that holds the logger.
const char kModuleAnchor = 0;

// What the narrow file APIs (CreateFileA, fopen) use.
UINT FileSystemCodePage() {
  return AreFileApisANSI() ? GetACP() : GetOEMCP();
}

}  // namespace

std::string ModuleDirectory() {
  HMODULE module = GetModuleHandleW(LarkProtocol::kEngineLibraryName);
  if (module == nullptr &&
      !GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&kModuleAnchor), &module)) {
    return {};
  }
  char name[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(module, name, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};  // failed, or truncated
  std::string directory(name, length);
  const std::size_t cut = directory.rfind('\\');
  if (cut != std::string::npos) directory.resize(cut);
  return directory;
}

std::optional<std::filesystem::path> FileSystemPath(std::string_view narrow) {
  if (narrow.empty()) return std::filesystem::path();
  if (narrow.size() > INT_MAX) return std::nullopt;
  const UINT codePage = FileSystemCodePage();
  const int length = static_cast<int>(narrow.size());
  const int size =
      MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, narrow.data(), length, nullptr, 0);
  if (size <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, narrow.data(), length, wide.data(),
                          size) != size) {
    return std::nullopt;
  }
  return std::filesystem::path(std::move(wide));
}

std::optional<std::string> NarrowName(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return std::string();
  if (wide.size() > INT_MAX) return std::nullopt;
  const UINT codePage = FileSystemCodePage();
  // UTF-8 has an exact form for every valid name, and rejects the best-fit flag and the
  // used-default check.
  const bool utf8 = codePage == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* const usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int length = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr,
                                       usedDefaultOut);
  if (size <= 0 || usedDefault) return std::nullopt;
  std::string narrow(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(codePage, flags, wide.data(), length, narrow.data(), size, nullptr,
                          usedDefaultOut) != size ||
      usedDefault) {
    return std::nullopt;
  }
  return narrow;
}

std::tm LocalTime(std::time_t seconds) {
  std::tm local{};
  if (localtime_s(&local, &seconds) != 0) return std::tm{};
  return local;
}

bool AppendToFile(const std::string& name, std::string_view bytes) noexcept {
  if (bytes.size() > MAXDWORD) return false;
  // The sharing that fopen grants, so that this line and Write's lines treat others alike.
  const LarkWin::UniqueFile file(CreateFileA(name.c_str(), FILE_APPEND_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  DWORD written = 0;
  return WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

}  // namespace LarkLogging
