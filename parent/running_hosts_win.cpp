#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "parent/host_protocol.h"
#include "parent/running_hosts.h"
#include "win/unique_handle.h"

namespace LarkParent {

namespace {

// TerminateProcess only starts the end; waiting for it is bounded all the same.
constexpr DWORD kTerminateWaitMs = 5000;

HWND WindowOf(std::uint32_t processId) {
  HWND window = nullptr;
  while ((window = FindWindowExW(nullptr, window, LarkProtocol::kMainWindowClass,
                                 LarkProtocol::kMainWindowTitle)) != nullptr) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == processId) return window;
  }
  return nullptr;
}

std::string StartTimeOf(std::uint32_t processId) {
  const LarkWin::UniqueHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  FILETIME created{}, exited{}, kernel{}, user{};
  SYSTEMTIME utc{}, local{};
  if (!process || !GetProcessTimes(process.Get(), &created, &exited, &kernel, &user) ||
      !FileTimeToSystemTime(&created, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return {};
  char text[32];
  (void)std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth,
                      local.wDay, local.wHour, local.wMinute, local.wSecond);  // fits
  return text;
}

// The path of the program that `process` runs, when it is LarkRemoteHost.exe.
std::optional<std::wstring> HostImageOf(HANDLE process) {
  wchar_t path[MAX_PATH * 4];
  DWORD size = static_cast<DWORD>(std::size(path));
  if (!QueryFullProcessImageNameW(process, 0, path, &size)) return std::nullopt;
  const std::wstring_view image(path, size);
  const std::size_t slash = image.find_last_of(L"\\/");
  const std::wstring_view name = slash == std::wstring_view::npos ? image : image.substr(slash + 1);
  if (CompareStringOrdinal(name.data(), static_cast<int>(name.size()), kHostExecutableName.data(),
                           static_cast<int>(kHostExecutableName.size()), TRUE) != CSTR_EQUAL)
    return std::nullopt;
  return std::wstring(image);
}

std::optional<std::uint32_t> ExitCodeWithin(HANDLE process, DWORD milliseconds) {
  DWORD code = 0;
  if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process, &code))
    return std::nullopt;
  return code;
}

DWORD Milliseconds(std::chrono::milliseconds time) {
  return static_cast<DWORD>(
      std::clamp<std::chrono::milliseconds::rep>(time.count(), 0, INFINITE - 1));
}

}  // namespace

const char* EndedByText(EndedBy by) {
  switch (by) {
    case EndedBy::Itself:
      return "by itself";
    case EndedBy::Release:
      return "after Release";
    case EndedBy::Close:
      return "after WM_CLOSE";
    case EndedBy::Termination:
      return "terminated";
  }
  return "";
}

std::vector<RunningHost> FindRunningHosts() {
  std::vector<RunningHost> hosts;
  HWND window = nullptr;
  while ((window = FindWindowExW(nullptr, window, LarkProtocol::kMainWindowClass,
                                 LarkProtocol::kMainWindowTitle)) != nullptr) {
    DWORD owner = 0;
    if (GetWindowThreadProcessId(window, &owner) == 0) continue;
    if (std::none_of(hosts.begin(), hosts.end(),
                     [&](const RunningHost& host) { return host.processId == owner; }))
      hosts.push_back({owner, StartTimeOf(owner)});
  }
  std::sort(hosts.begin(), hosts.end(),
            [](const RunningHost& a, const RunningHost& b) { return a.processId < b.processId; });
  return hosts;
}

std::string DescribeRunningHost(const RunningHost& host) {
  return "process " + std::to_string(host.processId) +
         (host.started.empty() ? ", start time unknown" : ", started " + host.started);
}

bool PostCloseToHost(std::uint32_t processId) {
  const HWND window = WindowOf(processId);
  return window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0);
}

std::optional<HostEnding> EndRunningHost(std::uint32_t processId,
                                         std::chrono::milliseconds closeBound, std::string* error,
                                         std::filesystem::path* executable) {
  const LarkWin::UniqueHandle process(OpenProcess(
      SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) {
    *error =
        "cannot open process " + std::to_string(processId) + " : " + std::to_string(GetLastError());
    return std::nullopt;
  }
  const std::optional<std::wstring> image = HostImageOf(process.Get());
  if (!image) {
    *error = "process " + std::to_string(processId) + " does not run LarkRemoteHost.exe";
    return std::nullopt;
  }
  if (executable != nullptr) *executable = *image;
  if (const std::optional<std::uint32_t> code = ExitCodeWithin(process.Get(), 0))
    return HostEnding{EndedBy::Itself, code};
  PostCloseToHost(processId);
  if (const std::optional<std::uint32_t> code =
          ExitCodeWithin(process.Get(), Milliseconds(closeBound)))
    return HostEnding{EndedBy::Close, code};
  TerminateProcess(process.Get(), kTerminatedExitCode);
  return HostEnding{EndedBy::Termination, ExitCodeWithin(process.Get(), kTerminateWaitMs)};
}

}  // namespace LarkParent
