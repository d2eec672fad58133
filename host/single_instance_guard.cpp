#include "host/single_instance_guard.h"

#include <windows.h>

#include "logging/log.h"

namespace LarkHost {

using LarkLogging::LogLine;

namespace {

constexpr wchar_t kInstanceMutexName[] =
    L"Local\\RemoteHost_SingleInstance_{A7B3D8F2-4C5E-4A1B-9D6F-8E2C3B4A5D6E}";

}  // namespace

bool SingleInstanceGuard::Acquire() {
  mutex_.Reset(CreateMutexW(nullptr, FALSE, kInstanceMutexName));
  const DWORD error = GetLastError();
  if (!mutex_) {
    LogLine("AcquireSingleInstanceMutex", "CreateMutexW failed : ", error);
    return false;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    LogLine("AcquireSingleInstanceMutex", "Another instance is already running");
    mutex_.Reset();
    return false;
  }
  LogLine("AcquireSingleInstanceMutex", "Single instance mutex acquired");
  return true;
}

}  // namespace LarkHost
