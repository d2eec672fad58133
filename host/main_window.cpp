#include "host/main_window.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>

#include "engine/engine.h"
#include "engine/engine_host.h"
#include "host/active_endpoint.h"
#include "logging/log.h"
#include "rpc/rpc_endpoint.h"

HWND MainWindow = nullptr;

namespace {

using TaskPtr = std::shared_ptr<MainThreadTask>;

constexpr char kNotRun[] = "error:post_message_failed";

// How long the teardown lets reverse calls in progress complete before it fails them.
constexpr std::chrono::milliseconds kReverseCallGrace{1000};

// Tasks posted and not yet run, by the value their message carries. Only these are ever run: any
// program on the desktop can post to a top-level window, so the value of a WM_APP_RUN_TASK is
// looked up, never trusted. Once the window is gone nothing runs them, so their waiters are
// released with kNotRun instead of waiting forever.
std::mutex g_tasksLock;
std::map<WPARAM, std::unique_ptr<TaskPtr>> g_queued;
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

void ReleaseQueuedTasks() {
  std::map<WPARAM, std::unique_ptr<TaskPtr>> queued;
  {
    std::lock_guard lock(g_tasksLock);
    g_closed = true;
    queued.swap(g_queued);
  }
  for (const auto& [key, holder] : queued) Complete(**holder, kNotRun);
}

void RunPostedTask(WPARAM wParam) {
  if (wParam == 0) return;
  TaskPtr task;
  {
    std::lock_guard lock(g_tasksLock);
    const auto found = g_queued.find(wParam);
    if (found != g_queued.end()) {
      task = std::move(*found->second);
      g_queued.erase(found);
    }
  }
  if (!task) {
    static std::atomic<bool> logged{false};  // a flood of them must not flood the log
    if (!logged.exchange(true))
      LogLine("MainWindowProc", "Ignored a task message this host did not queue");
    return;
  }
  std::string result;
  try {
    if (task->task) result = task->task();
  } catch (...) {
    result = "error:task_failed";
  }
  Complete(*task, std::move(result));
}

// The host's own messages, handled one at a time. An engine that pumps messages inside a call
// made from one of them (a COM wait, a modal loop) dispatches the next ones into that call;
// they wait here until the handler that made the call has returned, then run in order, so no
// engine entry point is entered twice from this thread and no lock is taken twice.
struct HostMessage {
  UINT message;
  WPARAM wParam;
};
bool g_handling = false;             // main thread only
std::deque<HostMessage> g_deferred;  // main thread only

void Handle(HWND window, HostMessage message) {
  if (message.message == WM_APP_RUN_TASK) {
    RunPostedTask(message.wParam);
    return;
  }
  TeardownEngine();  // WM_CLOSE or WM_APP_SHUTDOWN
  DestroyWindow(window);
}

void HandleInOrder(HWND window, HostMessage message) {
  if (g_handling) {
    g_deferred.push_back(message);
    return;
  }
  g_handling = true;
  Handle(window, message);
  while (!g_deferred.empty()) {
    const HostMessage next = g_deferred.front();
    g_deferred.pop_front();
    // Once the window is gone its queued tasks have been released and a shutdown has happened.
    if (IsWindow(window)) Handle(window, next);
  }
  g_handling = false;
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
  std::lock_guard lock(g_tasksLock);
  g_closed = false;  // a new window runs tasks again
  return window;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      ReleaseQueuedTasks();
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
    case WM_APP_SHUTDOWN:
    case WM_APP_RUN_TASK:
      HandleInOrder(window, {message, wParam});
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void CloseMainWindow(HWND window) {
  if (IsWindow(window)) HandleInOrder(window, {WM_APP_SHUTDOWN, 0});
}

std::string RunOnMainThread(std::function<std::string()> work) {
  auto task = std::make_shared<MainThreadTask>();
  task->task = std::move(work);
  auto holder = std::make_unique<TaskPtr>(task);
  const auto key = reinterpret_cast<WPARAM>(holder.get());
  bool closed;
  {
    std::lock_guard lock(g_tasksLock);
    closed = g_closed;
    if (!closed) g_queued.emplace(key, std::move(holder));
  }
  if (!PostMessageW(MainWindow, WM_APP_RUN_TASK, key, 0)) {
    const DWORD error = GetLastError();
    LogLine("RunOnMainThread", "PostMessage failed : ", error);
    std::lock_guard lock(g_tasksLock);
    g_queued.erase(key);
    return kNotRun;
  }
  if (closed) return kNotRun;  // posted as the window went away: it will never run

  std::unique_lock lock(task->mutex);
  task->cv.wait(lock, [&] { return task->done; });
  return task->result;
}

namespace {

// An engine call holding the lock on another thread may be waiting for this thread to answer a
// message it sent (an engine making windows under ours does), so go on answering sent messages
// while waiting for it.
void LockEngineAnsweringSentMessages(std::unique_lock<std::mutex>& lock) {
  if (lock.try_lock()) return;
  LogLine("TeardownEngine", "Engine busy, waiting");
  while (!lock.try_lock()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

}  // namespace

void TeardownEngine() {
  // Engine threads blocked on the parent (a token it does not send, a control text it does not
  // read) would hold DELETE for a call's whole time-out. Calls in progress get a moment to
  // complete (an answer may be on its way); then no reverse call waits any more.
  if (AnonRpc::EndpointSlot::Lease endpoint = ActiveEndpoint.Acquire())
    endpoint->Caller().Stop(kReverseCallGrace);
  if (LarkEngine::Engine* engine = ConnectedEngineHost().engine)
    engine->Teardown(LockEngineAnsweringSentMessages);
}
