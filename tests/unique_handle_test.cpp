#include "win/unique_handle.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "support/temp_dir.h"

namespace LarkWin {
namespace {

constexpr DWORD kCallersError = 0x20001234;

// A handle that CloseHandle refuses to close, so that closing it sets the last error.
HANDLE Unclosable(HANDLE handle) {
  EXPECT_TRUE(
      SetHandleInformation(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE));
  return handle;
}

bool IsOpen(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != 0;
}

void CloseForReal(HANDLE handle) {
  SetHandleInformation(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
  UniqueHandle{handle}.Reset();
}

// A window of a thread of its own, which only that thread can destroy.
class OtherThreadsWindow {
 public:
  OtherThreadsWindow() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const UniqueHandle ownCreated(created);
    thread_ = std::thread([this, created] {
      const UniqueWindow window(
          CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr));
      window_ = window.Get();
      SetEvent(created);
      WaitForSingleObject(done_.Get(), 30000);
    });
    WaitForSingleObject(created, 30000);
  }
  ~OtherThreadsWindow() {
    SetEvent(done_.Get());
    thread_.join();
  }
  HWND Get() const { return window_; }

 private:
  UniqueHandle done_;
  HWND window_ = nullptr;
  std::thread thread_;
};

// Each owning type frees with a call that sets the thread's last error when it fails, and each
// case here makes it fail: what the caller had set survives.
TEST(UniqueHandle, FreeingKeepsTheCallersLastError) {
  EXPECT_EQ(InvalidHandleValue(), INVALID_HANDLE_VALUE);
  lark::test::TempDir dir("lark-unique-");
  // Reserved, never committed: no find handle and no module is there.
  void* const nothing = VirtualAlloc(nullptr, 1 << 16, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(nothing, nullptr);

  const HANDLE event = Unclosable(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const HANDLE file =
      Unclosable(CreateFileW((dir.Path() / "file").c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  OtherThreadsWindow window;
  ASSERT_NE(window.Get(), nullptr);

  const struct {
    const char* name;
    std::function<void()> free;  // sets kCallersError, then the owner frees
  } cases[] = {
      {"UniqueHandle",
       [&] {
         UniqueHandle owner(event);
         SetLastError(kCallersError);
       }},
      {"UniqueFile",
       [&] {
         UniqueFile owner(file);
         SetLastError(kCallersError);
         owner.Reset();
       }},
      {"UniqueFind",
       [&] {
         UniqueFind owner(nothing);
         SetLastError(kCallersError);
       }},
      {"UniqueModule",
       [&] {
         UniqueModule owner(static_cast<HMODULE>(nothing));
         SetLastError(kCallersError);
       }},
      {"UniqueWindow",
       [&] {
         UniqueWindow owner(window.Get());
         SetLastError(kCallersError);
         owner.Reset();
       }},
  };
  for (const auto& c : cases) {
    c.free();
    const DWORD error = GetLastError();
    EXPECT_EQ(error, kCallersError) << c.name;
  }
  // Each free did fail.
  EXPECT_TRUE(IsOpen(event));
  EXPECT_TRUE(IsOpen(file));
  EXPECT_TRUE(IsWindow(window.Get()));

  CloseForReal(event);
  CloseForReal(file);
  VirtualFree(nothing, 0, MEM_RELEASE);
}

}  // namespace
}  // namespace LarkWin
