#include "host/main_window.h"

#include <memory>
#include <set>

#include "engine/engine_loader.h"
#include "engine/engine_state.h"
#include "logging/log.h"

HWND MainWindow = nullptr;

namespace {

using TaskPtr = std::shared_ptr<MainThreadTask>;

constexpr char kNotRun[] = "error:post_message_failed";

// Tasks whose poster waits. Once the window is gone nothing runs them, so their waiters are
// released with kNotRun instead of waiting forever.
std::mutex g_waitingLock;
std::set<TaskPtr> g_waiting;
bool g_closed = false;

void Complete(MainThreadTask& task, std::string result) {
  {
    std::lock_guard lock(task.mutex);
    if (task.done) return;
    task.result = std::move(result);
    task.done = true;
  }
  task.cv.notify_one();
}

void ReleaseWaitingTasks() {
  std::set<TaskPtr> waiting;
  {
    std::lock_guard lock(g_waitingLock);
    g_closed = true;
    waiting.swap(g_waiting);
  }
  for (const TaskPtr& task : waiting) Complete(*task, kNotRun);
}

void RunPostedTask(WPARAM wParam) {
  if (wParam == 0) return;
  TaskPtr task;
  {
    std::unique_ptr<TaskPtr> holder(reinterpret_cast<TaskPtr*>(wParam));
    task = std::move(*holder);
  }
  if (!task) return;
  std::string result;
  try {
    if (task->task) result = task->task();
  } catch (...) {
    result = "error:task_failed";
  }
  Complete(*task, std::move(result));
}

}  // namespace

bool RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = 0;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kMainWindowClass;
  if (RegisterClassExW(&windowClass) != 0) return true;
  const DWORD error = GetLastError();
  LogLine("RegisterMainWindowClass", "RegisterClassExW failed : ", error);
  return false;
}

HWND CreateMainWindow(HINSTANCE instance) {
  HWND window =
      CreateWindowExW(0, kMainWindowClass, L"RemoteHost", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                      CW_USEDEFAULT, 1920, 1080, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    const DWORD error = GetLastError();
    LogLine("CreateMainWindow", "CreateWindowExW failed : ", error);
    return nullptr;
  }
  ShowWindow(window, SW_HIDE);
  UpdateWindow(window);
  std::lock_guard lock(g_waitingLock);
  g_closed = false;  // a new window runs tasks again
  return window;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      ReleaseWaitingTasks();
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
    case WM_APP_SHUTDOWN:
      TeardownEngine();
      DestroyWindow(window);
      return 0;
    case WM_APP_RUN_TASK:
      RunPostedTask(wParam);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

std::string RunOnMainThread(std::function<std::string()> work) {
  auto task = std::make_shared<MainThreadTask>();
  task->task = std::move(work);
  bool closed;
  {
    std::lock_guard lock(g_waitingLock);
    closed = g_closed;
    if (!closed) g_waiting.insert(task);
  }
  const auto forget = [&task] {
    std::lock_guard lock(g_waitingLock);
    g_waiting.erase(task);
  };

  auto* holder = new TaskPtr(task);
  if (!PostMessageW(MainWindow, WM_APP_RUN_TASK, reinterpret_cast<WPARAM>(holder), 0)) {
    const DWORD error = GetLastError();
    LogLine("RunOnMainThread", "PostMessage failed : ", error);
    delete holder;
    forget();
    return kNotRun;
  }
  if (closed) return kNotRun;  // posted as the window went away: it will never run

  std::string result;
  {
    std::unique_lock lock(task->mutex);
    task->cv.wait(lock, [&] { return task->done; });
    result = task->result;
  }
  forget();
  return result;
}

namespace {

// An engine call holding the lock on another thread may be waiting for this thread to answer a
// message it sent (an engine making windows under ours does), so go on answering sent messages
// while waiting for it.
std::unique_lock<std::mutex> LockEngineAnsweringSentMessages() {
  std::unique_lock lock(EngineLock, std::try_to_lock);
  if (lock.owns_lock()) return lock;
  LogLine("TeardownEngine", "Engine busy, waiting");
  while (!lock.try_lock()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  return lock;
}

}  // namespace

void TeardownEngine() {
  const std::unique_lock lock = LockEngineAnsweringSentMessages();
  if (EngineUnloaded) return;
  if (EngineEntryPoints.destroy != nullptr && EngineInstance != nullptr) {
    EngineEntryPoints.destroy(EngineInstance);
    EngineInstance = nullptr;
  }
  if (EngineEntryPoints.release != nullptr) EngineEntryPoints.release();
  UnloadEngineModule();
  EngineUnloaded = true;
}

void DiscardQueuedTasks() {
  MSG message;
  while (PeekMessageW(&message, nullptr, WM_APP_RUN_TASK, WM_APP_RUN_TASK, PM_REMOVE))
    delete reinterpret_cast<TaskPtr*>(message.wParam);
}
