#pragma once

#include <windows.h>

#include "host/main_window.h"

namespace lark::test {

// The window class can be registered once per process; tests of several files share it.
inline bool EnsureMainWindowClass() {
  static const LarkHost::MainWindowClass windowClass(GetModuleHandleW(nullptr));
  return windowClass.Registered();
}

}  // namespace lark::test
