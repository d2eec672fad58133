#pragma once

// The hidden main window: it gives the main thread a message queue, runs tasks posted from
// other threads, and on the host's shutdown request or WM_CLOSE has the engine torn down and
// destroys itself, which ends the message loop. The window is bound to its MainWindow through
// lpCreateParams while CreateWindowExW creates it and unbound while DestroyWindow destroys it;
// any other WM_NCCREATE or WM_DESTROY (any program on the desktop can send them) is ignored.

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "protocol/lark_protocol.h"
#include "sync/mutex.h"
#include "win/unique_handle.h"

namespace LarkHost {

inline constexpr UINT WM_APP_RUN_TASK = LarkProtocol::kRunTaskMessage;
inline constexpr UINT WM_APP_SHUTDOWN = LarkProtocol::kShutdownMessage;

using LarkProtocol::kMainWindowClass;

struct MainThreadTask;

// The window class, registered for as long as the object lives.
class MainWindowClass {
 public:
  // Logs "RegisterClassExW failed : " and the error when it cannot be registered.
  explicit MainWindowClass(HINSTANCE instance);
  ~MainWindowClass();
  MainWindowClass(const MainWindowClass&) = delete;
  MainWindowClass& operator=(const MainWindowClass&) = delete;

  bool Registered() const { return registered_; }

 private:
  HINSTANCE instance_;
  bool registered_;
};

// Created and destroyed on the main thread, whose message loop serves it; RunOnMainThread and
// RequestShutdown from any other thread.
class MainWindow {
 public:
  using PostFunction = std::function<BOOL(HWND, UINT, WPARAM, LPARAM)>;

  // `teardown` runs on the main thread when the window shuts down, before it is destroyed: the
  // engine's teardown. `shutdownRequested` runs, on the requesting thread, whenever the window is
  // asked to shut down (RequestShutdown, WM_CLOSE, WM_APP_SHUTDOWN as it arrives), before the
  // main thread gets round to it. `post` posts the window's messages (PostMessageW).
  explicit MainWindow(std::function<void()> teardown, std::function<void()> shutdownRequested = {},
                      PostFunction post = PostMessageW);
  ~MainWindow();  // destroys the window if it still exists; main thread
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Creates the hidden window (logging "CreateWindowExW failed : " and the error when it
  // cannot); main thread, once.
  bool Create(HINSTANCE instance);
  // The window; null before Create and once it is destroyed. Any thread.
  HWND Handle() const;

  // Runs `task` on the main thread and returns its result, or "error:post_message_failed" when
  // it cannot be posted or will never run (the window was destroyed first). Any thread but the
  // main thread. A task that throws answers "error:task_failed". Tasks, shutdown requests and
  // WM_CLOSE that reach the window while one of them is being handled (an engine pumping
  // messages inside a call) are handled after it, in order.
  std::string RunOnMainThread(std::function<std::string()> task);

  // Posts the host's shutdown request; any thread. A request whose post fails (a full message
  // queue) still reaches the message loop, which waits for it beside the messages.
  void RequestShutdown();

  // The main thread's message loop, until the window is gone and its quit message arrives; the
  // exit code that message carries (0 when waiting fails).
  int RunMessageLoop();

  // What WM_APP_SHUTDOWN does, for the main thread once its message loop has ended some other
  // way (a quit message from elsewhere): the engine torn down and the window destroyed, with
  // the same care for messages that an engine call pumps meanwhile. Does nothing once the
  // window is gone.
  void Close();

 private:
  friend class MainWindowClass;  // registers the window procedure
  using TaskPtr = std::shared_ptr<MainThreadTask>;
  struct HostMessage {
    UINT message;
    WPARAM wParam;
  };

  // The class's window procedure: finds the MainWindow that created the window (bound on
  // WM_NCCREATE from lpCreateParams, unbound on WM_DESTROY).
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Destroy();
  // Posts one of the window's own messages; fails as a post to a destroyed window does while
  // there is no window (a null window would post to the posting thread's own queue).
  bool Post(UINT message, WPARAM wParam);
  bool Alive() const;
  void Dispatch(HostMessage message);
  void HandleInOrder(HostMessage message);
  void RunPostedTask(WPARAM wParam);
  void ReleaseQueuedTasks();

  const std::function<void()> teardown_;
  const std::function<void()> shutdownRequested_;
  const PostFunction post_;
  bool destroying_ = false;  // inside our own DestroyWindow

  // A shutdown request whose post failed: the message loop waits for the event too.
  LarkWin::UniqueHandle shutdownPending_;

  mutable LarkSync::Mutex lock_;
  // Empty before Create and once the window is destroyed. Changed on the main thread only, and
  // under the lock, because other threads read it to post to the window.
  LarkWin::UniqueWindow window_ LARK_GUARDED_BY(lock_);

  // Tasks posted and not yet run, by the number their message carries. Only these are ever run:
  // any program on the desktop can post to a top-level window, so the value of a
  // WM_APP_RUN_TASK is looked up, never trusted. Once the window is gone nothing runs them, so
  // their waiters are released instead of waiting forever.
  std::map<WPARAM, TaskPtr> queued_ LARK_GUARDED_BY(lock_);
  WPARAM lastTask_ LARK_GUARDED_BY(lock_) = 0;  // 0 is never a task's number
  bool closed_ LARK_GUARDED_BY(lock_) = false;

  // The host's own messages, handled one at a time (main thread only). An engine that pumps
  // messages inside a call made from one of them (a COM wait, a modal loop) dispatches the next
  // ones into that call; they wait here until the handler that made the call has returned, then
  // run in order, so no engine entry point is entered twice from this thread and no lock is
  // taken twice.
  bool handling_ = false;
  std::deque<HostMessage> deferred_;
};

// Takes the engine's lock for the teardown on the main thread, answering messages sent to the
// thread's windows while an engine call on another thread holds it: that call may be waiting
// for this thread to answer (an engine making windows under ours does).
void LockAnsweringSentMessages(LarkSync::Mutex& lock) LARK_ACQUIRE(lock);

}  // namespace LarkHost
