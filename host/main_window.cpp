#include "host/main_window.h"

#include <atomic>

#include "logging/log.h"

namespace LarkHost {

using LarkLogging::LogLine;

// One task posted to the main thread, shared by the poster and the main thread.
struct MainThreadTask {
  std::function<std::string()> task;
  LarkSync::Mutex mutex;
  LarkSync::ConditionVariable cv;
  std::string result LARK_GUARDED_BY(mutex);
  bool done LARK_GUARDED_BY(mutex) = false;
};

namespace {

// The MainWindow whose CreateWindowExW runs on this thread: only its WM_NCCREATE binds.
thread_local MainWindow* t_creating = nullptr;

// Once per process for each kind, so that a flood of them cannot flood the log.
void LogIgnoredOnce(std::atomic<bool>& logged, const char* text) {
  if (!logged.exchange(true)) LogLine("MainWindowProc", text);
}

void Complete(MainThreadTask& task, std::string result) {
  {
    LarkSync::MutexLock lock(task.mutex);
    if (task.done) return;
    task.result = std::move(result);
    task.done = true;
  }
  task.cv.notify_one();
}

}  // namespace

MainWindowClass::MainWindowClass(HINSTANCE instance) : instance_(instance) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = 0;
  windowClass.lpfnWndProc = MainWindow::WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kMainWindowClass;
  registered_ = RegisterClassExW(&windowClass) != 0;
  if (registered_) return;
  const DWORD error = GetLastError();
  LogLine("RegisterMainWindowClass", "RegisterClassExW failed : ", error);
}

MainWindowClass::~MainWindowClass() {
  if (registered_) UnregisterClassW(kMainWindowClass, instance_);
}

MainWindow::MainWindow(std::function<void()> teardown, std::function<void()> shutdownRequested,
                       PostFunction post)
    : teardown_(std::move(teardown)),
      shutdownRequested_(std::move(shutdownRequested)),
      post_(std::move(post)),
      shutdownPending_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

MainWindow::~MainWindow() {
  Destroy();
}

void MainWindow::Destroy() {
  LarkWin::UniqueWindow window;
  {
    LarkSync::MutexLock lock(lock_);
    window = std::move(window_);
  }
  destroying_ = true;
  window.Reset();
  destroying_ = false;
}

HWND MainWindow::Handle() const {
  LarkSync::MutexLock lock(lock_);
  return window_.Get();
}

bool MainWindow::Alive() const {
  return Handle() != nullptr;
}

bool MainWindow::Post(UINT message, WPARAM wParam) {
  const HWND window = Handle();
  if (window == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  return post_(window, message, wParam, 0) != FALSE;
}

bool MainWindow::Create(HINSTANCE instance) {
  t_creating = this;
  HWND window =
      CreateWindowExW(0, kMainWindowClass, LarkProtocol::kMainWindowTitle, WS_OVERLAPPEDWINDOW,
                      CW_USEDEFAULT, CW_USEDEFAULT, 1920, 1080, nullptr, nullptr, instance, this);
  t_creating = nullptr;
  if (window == nullptr) {
    const DWORD error = GetLastError();
    LogLine("CreateMainWindow", "CreateWindowExW failed : ", error);
    return false;
  }
  {
    LarkSync::MutexLock lock(lock_);
    window_.Reset(window);
  }
  ShowWindow(window, SW_HIDE);
  UpdateWindow(window);
  return true;
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    // The sender of a WM_NCCREATE chooses its CREATESTRUCT, the pointer in it included: only the
    // one our own CreateWindowExW sends, for a window not yet bound, binds.
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    if (t_creating == nullptr || create == nullptr || create->lpCreateParams != t_creating ||
        GetWindowLongPtrW(window, GWLP_USERDATA) != 0) {
      static std::atomic<bool> logged{false};
      LogIgnoredOnce(logged, "Ignored a WM_NCCREATE this host did not send");
      return TRUE;  // nor may it rename the window, as the default handling would
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(t_creating));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_DESTROY:
      if (!self->destroying_) {
        // Posted or sent from elsewhere: the window lives on, and so does the engine.
        static std::atomic<bool> logged{false};
        LogIgnoredOnce(logged, "Ignored a WM_DESTROY this host did not send");
        return 0;
      }
      SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      self->ReleaseQueuedTasks();
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
    case WM_APP_SHUTDOWN:
      if (self->shutdownRequested_) self->shutdownRequested_();
      self->HandleInOrder({message, wParam});
      return 0;
    case WM_APP_RUN_TASK:
      self->HandleInOrder({message, wParam});
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void MainWindow::Dispatch(HostMessage message) {
  if (message.message == WM_APP_RUN_TASK) {
    RunPostedTask(message.wParam);
    return;
  }
  if (teardown_) teardown_();  // WM_CLOSE or WM_APP_SHUTDOWN
  Destroy();
}

void MainWindow::HandleInOrder(HostMessage message) {
  if (handling_) {
    deferred_.push_back(message);
    return;
  }
  handling_ = true;
  Dispatch(message);
  while (!deferred_.empty()) {
    const HostMessage next = deferred_.front();
    deferred_.pop_front();
    // Once the window is gone its queued tasks have been released and a shutdown has happened.
    if (Alive()) Dispatch(next);
  }
  handling_ = false;
}

void MainWindow::Close() {
  if (Alive()) HandleInOrder({WM_APP_SHUTDOWN, 0});
}

void MainWindow::RequestShutdown() {
  if (shutdownRequested_) shutdownRequested_();
  if (Post(WM_APP_SHUTDOWN, 0)) return;
  // Windows caps a thread's posted messages; the request must not be lost with the post.
  SetEvent(shutdownPending_.Get());
}

int MainWindow::RunMessageLoop() {
  const HANDLE pending = shutdownPending_.Get();
  for (;;) {
    const DWORD woken = MsgWaitForMultipleObjectsEx(pending != nullptr ? 1 : 0, &pending, INFINITE,
                                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (pending != nullptr && woken == WAIT_OBJECT_0) {
      Close();
      continue;
    }
    if (woken == WAIT_FAILED) return 0;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return static_cast<int>(static_cast<UINT>(message.wParam));
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
}

void MainWindow::ReleaseQueuedTasks() {
  std::map<WPARAM, TaskPtr> queued;
  {
    LarkSync::MutexLock lock(lock_);
    closed_ = true;
    queued.swap(queued_);
  }
  for (const auto& [key, task] : queued) Complete(*task, LarkProtocol::kPostMessageFailedAnswer);
}

void MainWindow::RunPostedTask(WPARAM wParam) {
  if (wParam == 0) return;
  TaskPtr task;
  {
    LarkSync::MutexLock lock(lock_);
    const auto found = queued_.find(wParam);
    if (found != queued_.end()) {
      task = std::move(found->second);
      queued_.erase(found);
    }
  }
  if (!task) {
    static std::atomic<bool> logged{false};
    LogIgnoredOnce(logged, "Ignored a task message this host did not queue");
    return;
  }
  std::string result;
  try {
    if (task->task) result = task->task();
  } catch (...) {
    result = LarkProtocol::kTaskFailedAnswer;
  }
  Complete(*task, std::move(result));
}

std::string MainWindow::RunOnMainThread(std::function<std::string()> work) {
  auto task = std::make_shared<MainThreadTask>();
  task->task = std::move(work);
  WPARAM key;
  bool closed;
  {
    LarkSync::MutexLock lock(lock_);
    key = ++lastTask_;
    closed = closed_;
    if (!closed) queued_.emplace(key, task);
  }
  if (!Post(WM_APP_RUN_TASK, key)) {
    const DWORD error = GetLastError();
    LogLine("RunOnMainThread", "PostMessage failed : ", error);
    LarkSync::MutexLock lock(lock_);
    queued_.erase(key);
    return LarkProtocol::kPostMessageFailedAnswer;
  }
  if (closed)
    return LarkProtocol::kPostMessageFailedAnswer;  // posted as the window went away: it will never
                                                    // run

  LarkSync::MutexLock lock(task->mutex);
  task->cv.wait(lock, [&]() LARK_REQUIRES(task->mutex) { return task->done; });
  return task->result;
}

void LockAnsweringSentMessages(LarkSync::Mutex& lock) {
  if (lock.try_lock()) return;
  LogLine("TeardownEngine", "Engine busy, waiting");
  while (!lock.try_lock()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

}  // namespace LarkHost
