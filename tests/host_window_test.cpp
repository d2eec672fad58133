#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/engine.h"
#include "host/main_window.h"
#include "support/bounded.h"
#include "support/captured_log.h"
#include "support/fake_engine.h"
#include "support/main_window_class.h"

namespace LarkHost {
namespace {

using lark::test::CapturedLog;
using lark::test::FakeEngine;
using lark::test::ReturnsWithin;
using namespace std::chrono_literals;

// The host's main thread: a hidden main window and its message loop on a thread of the test.
// The window's shutdown tears the fake engine down, as the host's does.
class MainThread {
 public:
  explicit MainThread(MainWindow::PostFunction post = PostMessageW,
                      std::function<void()> shutdownRequested = {}) {
    EXPECT_TRUE(lark::test::EnsureMainWindowClass());
    std::mutex mutex;
    std::condition_variable ready;
    bool created = false;
    thread_ = std::thread([&] {
      auto window = std::make_unique<MainWindow>(
          [] {
            if (LarkEngine::Engine* engine = FakeEngine::Installed())
              engine->Teardown(LockAnsweringSentMessages);
          },
          shutdownRequested, post);
      EXPECT_TRUE(window->Create(GetModuleHandleW(nullptr)));
      {
        std::lock_guard lock(mutex);
        window_ = std::move(window);
        threadId_ = GetCurrentThreadId();
        created = true;
        ready.notify_all();
      }
      window_->RunMessageLoop();
    });
    std::unique_lock lock(mutex);
    ready.wait(lock, [&] { return created; });
  }
  ~MainThread() { Shutdown(); }
  DWORD ThreadId() const { return threadId_; }
  // Outlives its window, which the shutdown destroys on its own thread.
  MainWindow& Window() { return *window_; }
  void Shutdown() {
    if (!thread_.joinable()) return;
    window_->RequestShutdown();
    ReturnsWithin(
        30s, [this] { thread_.join(); }, "main thread");
  }

 private:
  std::unique_ptr<MainWindow> window_;
  std::thread thread_;
  DWORD threadId_ = 0;
};

// Blocks the main thread inside a task until `count` more messages have been posted to it.
std::function<std::string()> HoldUntilPosted(int count, const std::function<void(int)>& onPosted) {
  return [count, onPosted] {
    for (int i = 0; i < count; ++i) {
      onPosted(i);  // lets the test post the next one
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 30000, QS_POSTMESSAGE);
    }
    return std::string("held");
  };
}

struct HostWindow : ::testing::Test {
  HostWindow() { FakeEngine::Install(); }
  ~HostWindow() override { FakeEngine::Reset(); }
  CapturedLog log;
};

TEST_F(HostWindow, TasksRunOnTheMainThreadAndHandBackTheirResult) {
  MainThread main;
  DWORD ranOn = 0;
  EXPECT_EQ(main.Window().RunOnMainThread([&] {
    ranOn = GetCurrentThreadId();
    return std::string();
  }),
            "");
  EXPECT_EQ(ranOn, main.ThreadId());
  EXPECT_EQ(main.Window().RunOnMainThread([]() -> std::string { throw std::runtime_error("x"); }),
            "error:task_failed");
  EXPECT_EQ(main.Window().RunOnMainThread([] { return std::string("after"); }), "after");
}

TEST_F(HostWindow, ConcurrentTasksRunInPostingOrderWithTheirOwnResults) {
  MainThread main;
  std::vector<std::string> order;
  std::string first, second;
  std::thread poster1, poster2;
  std::thread holder([&] {
    main.Window().RunOnMainThread(HoldUntilPosted(2, [&](int i) {
      std::thread& poster = i == 0 ? poster1 : poster2;
      std::string& result = i == 0 ? first : second;
      const std::string name = i == 0 ? "A" : "B";
      poster = std::thread([&, name] {
        result = main.Window().RunOnMainThread([&, name] {
          order.push_back(name);
          return "result " + name;
        });
      });
    }));
  });
  holder.join();
  poster1.join();
  poster2.join();
  EXPECT_EQ(first, "result A");
  EXPECT_EQ(second, "result B");
  EXPECT_EQ(order, (std::vector<std::string>{"A", "B"}));
}

TEST_F(HostWindow, AfterShutdownTasksFailAtOnceAndAreLogged) {
  MainThread main;
  main.Shutdown();
  bool ran = false;
  EXPECT_EQ(main.Window().RunOnMainThread([&] {
    ran = true;
    return std::string("ok");
  }),
            "error:post_message_failed");
  EXPECT_FALSE(ran);
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{"[RunOnMainThread] PostMessage failed : 1400"}));
  EXPECT_EQ(FakeEngine::Calls(), (std::vector<std::string>{"RELEASE"}));  // no instance to delete
}

// A task queued behind the shutdown request never runs; its poster is released, not left waiting.
TEST_F(HostWindow, ATaskQueuedBehindTheShutdownIsReleased) {
  MainThread main;
  std::thread late;
  std::string lateResult;
  bool lateRan = false;
  std::thread holder([&] {
    main.Window().RunOnMainThread(HoldUntilPosted(2, [&](int i) {
      if (i == 0) {
        PostMessageW(main.Window().Handle(), WM_APP_SHUTDOWN, 0, 0);
      } else {
        late = std::thread([&] {
          lateResult = main.Window().RunOnMainThread([&] {
            lateRan = true;
            return std::string("ran");
          });
        });
      }
    }));
  });
  holder.join();
  ReturnsWithin(
      30s, [&] { late.join(); }, "the released poster");
  EXPECT_EQ(lateResult, "error:post_message_failed");
  EXPECT_FALSE(lateRan);
}

TEST_F(HostWindow, ShutdownDeletesTheInstanceReleasesAndNeverCallsTheEngineAgain) {
  FakeEngine::Installed()->WithLock([](LarkEngine::Engine::Locked& engine) {
    return engine.instance = reinterpret_cast<void*>(0x1000);
  });
  {
    MainThread main;
    // WM_CLOSE from outside ends it the same way.
    SendMessageW(main.Window().Handle(), WM_CLOSE, 0, 0);
  }
  EXPECT_EQ(FakeEngine::Calls(), (std::vector<std::string>{"DELETE 4096", "RELEASE"}));
  EXPECT_EQ(FakeEngine::Installed()->InstanceForTest(), nullptr);
  EXPECT_TRUE(FakeEngine::Installed()->TornDownForTest());
  FakeEngine::Installed()->Teardown();  // a second teardown finds nothing to do
  EXPECT_EQ(FakeEngine::Calls().size(), 2u);
}

// Windows refuses posts past a thread's 10,000 queued messages: a shutdown request whose post
// fails still ends the loop, and each request is told as it is made.
TEST_F(HostWindow, AShutdownRequestWhosePostFailsStillEndsTheLoop) {
  std::atomic<int> requests{0};
  MainThread main(
      [](HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_APP_SHUTDOWN) {
          SetLastError(ERROR_NOT_ENOUGH_QUOTA);
          return FALSE;
        }
        return PostMessageW(window, message, wParam, lParam);
      },
      [&] { ++requests; });
  EXPECT_EQ(main.Window().RunOnMainThread([] { return std::string("ran"); }), "ran");
  main.Shutdown();  // fails the test if the loop does not end
  EXPECT_TRUE(FakeEngine::Installed()->TornDownForTest());
  EXPECT_EQ(requests.load(), 1);
}

}  // namespace
}  // namespace LarkHost
