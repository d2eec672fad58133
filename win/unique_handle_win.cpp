#include <windows.h>

#include "win/unique_handle.h"

namespace LarkWin {

namespace {

template <typename Free>
void KeepingError(Free free) {
  const DWORD lastError = GetLastError();
  free();
  SetLastError(lastError);
}

}  // namespace

void CloseHandleKeepingError(void* handle) {
  KeepingError([handle] { CloseHandle(handle); });
}

void FindCloseKeepingError(void* find) {
  KeepingError([find] { FindClose(find); });
}

void FreeLibraryKeepingError(HINSTANCE__* module) {
  KeepingError([module] { FreeLibrary(module); });
}

void DestroyWindowKeepingError(HWND__* window) {
  KeepingError([window] { DestroyWindow(window); });
}

}  // namespace LarkWin
