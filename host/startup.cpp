#include "host/startup.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>

#include "host/main_window.h"
#include "logging/log.h"

namespace {

constexpr wchar_t kInstanceMutexName[] =
    L"Local\\RemoteHost_SingleInstance_{A7B3D8F2-4C5E-4A1B-9D6F-8E2C3B4A5D6E}";

// Never waited on: its existence while this handle is open marks a running host.
HANDLE InstanceMutex = nullptr;

constexpr char kParseTag[] = "WinMain::<lambda_1>::operator ()";

}  // namespace

bool AcquireSingleInstanceMutex() {
  InstanceMutex = CreateMutexW(nullptr, FALSE, kInstanceMutexName);
  const DWORD error = GetLastError();
  if (InstanceMutex == nullptr) {
    LogLine("AcquireSingleInstanceMutex", "CreateMutexW failed : ", error);
    return false;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    LogLine("AcquireSingleInstanceMutex", "Another instance is already running");
    CloseSingleInstanceMutex();
    return false;
  }
  LogLine("AcquireSingleInstanceMutex", "Single instance mutex acquired");
  return true;
}

void CloseSingleInstanceMutex() {
  if (InstanceMutex == nullptr) return;
  CloseHandle(InstanceMutex);
  InstanceMutex = nullptr;
}

AnonRpc::PipeHandle ParseHandleArg(const char* text, const char* name) {
  if (text == nullptr || *text == '\0') {
    LogLine(kParseTag, "Empty handle arg for ", name);
    return AnonRpc::kInvalidPipe;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  const bool valid = errno == 0 && end != text && *end == '\0';
  if (valid && value != 0) return static_cast<AnonRpc::PipeHandle>(value);
  if (valid) {
    LogLine(kParseTag, "Zero handle arg for ", name);
  } else {
    LogLine(kParseTag, "Invalid handle arg for ", name, " : ", text);
  }
  return AnonRpc::kInvalidPipe;
}

void OnNotifyPipeBroken() {
  LogLine("WinMain::<lambda_2>::operator ()", "notify pipe broken, requesting shutdown");
  if (MainWindow != nullptr) PostMessageW(MainWindow, WM_APP_SHUTDOWN, 0, 0);
}
