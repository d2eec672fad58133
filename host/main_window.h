#pragma once

// The hidden main window: it gives the main thread a message queue, runs tasks posted from
// other threads, and tears the engine down on the host's shutdown request or WM_CLOSE.

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

inline constexpr UINT WM_APP_RUN_TASK = WM_APP + 1;
inline constexpr UINT WM_APP_SHUTDOWN = WM_APP + 2;

inline constexpr wchar_t kMainWindowClass[] = L"RemoteHostMainWnd";

// Written once by WinMain before any other thread starts; never cleared.
extern HWND MainWindow;

// One task posted to the main thread, shared by the poster and the main thread.
struct MainThreadTask {
  std::function<std::string()> task;
  std::string result;
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
};

bool RegisterMainWindowClass(HINSTANCE instance);
HWND CreateMainWindow(HINSTANCE instance);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs `task` on the main thread and returns its result, or "error:post_message_failed" when it
// cannot be posted or will never run (the window was destroyed first). Any thread but the main
// thread. A task that throws answers "error:task_failed". Tasks, shutdown requests and WM_CLOSE
// that reach the window while one of them is being handled (an engine pumping messages inside
// a call) are handled after it, in order.
std::string RunOnMainThread(std::function<std::string()> task);

// What WM_APP_SHUTDOWN does, for the main thread once its message loop has ended some other way
// (a quit message from elsewhere): the engine torn down and the window destroyed, with the same
// care for messages that an engine call pumps meanwhile. Does nothing to a destroyed window.
void CloseMainWindow(HWND window);

// Stops the published endpoint's reverse caller (calls in progress get up to a second to
// complete), so that no engine thread stays blocked on the parent, then deletes the engine
// instance, releases the engine and unloads its library; main thread.
void TeardownEngine();
