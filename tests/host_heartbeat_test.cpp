#include "host/heartbeat.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "host/active_endpoint.h"
#include "host/main_window.h"
#include "parent/host_connection.h"
#include "parent/pipe_set.h"
#include "rpc/rpc_endpoint.h"
#include "support/bounded.h"
#include "support/captured_log.h"
#include "support/main_window_class.h"
#include "support/process_stats.h"

namespace {

using lark::test::CapturedLog;
using lark::test::ReturnsWithin;
using namespace std::chrono_literals;

constexpr std::uint64_t kMiB = 1 << 20;

// A published endpoint whose parent counts the heartbeats, and a window on the test's thread
// that receives the shutdown request.
struct Heartbeat : ::testing::Test {
  Heartbeat() {
    EXPECT_TRUE(lark::test::EnsureMainWindowClass());
    MainWindow = CreateMainWindow(GetModuleHandleW(nullptr));
    EXPECT_TRUE(LarkParent::CreatePipeSet(&hostEnds, &parentEnds));
    parent = std::make_unique<LarkParent::HostConnection>(std::move(parentEnds));
    parent->OnNotification([this](const AnonRpc::Notification& note) {
      std::lock_guard lock(mutex);
      beats.push_back(AnonRpc::EncodeNotification(note.type, note.payload));
      arrived.notify_all();
    });
    parent->Start();
    endpoint = std::make_unique<AnonRpc::RpcEndpoint>(std::move(hostEnds), [] {});
    endpoint->StartAll();
    ActiveEndpoint.Publish(endpoint.get());
  }
  ~Heartbeat() override {
    StopHeartbeat();
    ActiveEndpoint.Clear();
    endpoint.reset();
    parent.reset();
    DestroyWindow(MainWindow);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  std::size_t WaitForBeats(std::size_t n) {
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, 30s, [&] { return beats.size() >= n; });
    return beats.size();
  }

  // Whether the shutdown request reached the window within the time-out.
  static bool ShutdownRequested(DWORD timeoutMs) {
    const auto deadline = GetTickCount64() + timeoutMs;
    MSG message;
    for (;;) {
      while (PeekMessageW(&message, MainWindow, WM_APP_SHUTDOWN, WM_APP_SHUTDOWN, PM_REMOVE))
        return true;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return false;
      MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now),
                                QS_POSTMESSAGE);
    }
  }

  static HeartbeatSettings Fast(std::uint64_t privateBytes, std::atomic<int>* probes = nullptr) {
    return {5ms, [=]() -> std::optional<MemoryCounters> {
              if (probes) ++*probes;
              return MemoryCounters{privateBytes, 800 * kMiB};
            }};
  }

  CapturedLog log;
  AnonRpc::HostPipes hostEnds;
  LarkParent::ParentEnds parentEnds;
  std::unique_ptr<LarkParent::HostConnection> parent;
  std::unique_ptr<AnonRpc::RpcEndpoint> endpoint;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::string> beats;
};

TEST_F(Heartbeat, EachTickSendsTheThirteenByteHeartbeatAndEveryTenthReadsMemory) {
  std::atomic<int> probes{0};
  StartHeartbeat(Fast(kMemoryLimitBytes, &probes));  // exactly at the limit: no breach
  ASSERT_GE(WaitForBeats(25), 25u);
  StopHeartbeat();
  std::lock_guard lock(mutex);
  for (const std::string& beat : beats)
    EXPECT_EQ(beat, std::string("ANTY\1\0\0\0\0\0\0\0"
                                "2",
                                13));
  EXPECT_GE(probes.load(), 2);
  EXPECT_LE(probes.load(), static_cast<int>(beats.size()) / 10);
  EXPECT_FALSE(ShutdownRequested(0));
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(Heartbeat, OneByteAboveTheLimitIsABreachReportedOnce) {
  StartHeartbeat(Fast(kMemoryLimitBytes + 1));
  ASSERT_TRUE(ShutdownRequested(30000));
  ReturnsWithin(
      5s, [] { StopHeartbeat(); }, "StopHeartbeat after a breach");
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{
                "[StartHeartbeat::<lambda_1>::operator ()] Memory limit exceeded -- private=1000 "
                "MB > limit=1000 MB, working=800 MB. Requesting shutdown."}));
  EXPECT_EQ(WaitForBeats(10), 10u);  // no heartbeat after the breach
}

TEST_F(Heartbeat, BreachMessageGivesWholeMebibytes) {
  StartHeartbeat(Fast(1100 * kMiB + kMiB - 1));
  ASSERT_TRUE(ShutdownRequested(30000));
  StopHeartbeat();
  EXPECT_EQ(log.Messages().at(0),
            "[StartHeartbeat::<lambda_1>::operator ()] Memory limit exceeded -- private=1100 MB > "
            "limit=1000 MB, working=800 MB. Requesting shutdown.");
}

// Out of memory, say: a tick that throws is skipped, and the heartbeat goes on.
TEST_F(Heartbeat, ATickThatThrowsIsSkipped) {
  std::atomic<int> probes{0};
  StartHeartbeat({5ms, [&]() -> std::optional<MemoryCounters> {
                    if (++probes == 1) throw std::bad_alloc();
                    return MemoryCounters{0, 0};
                  }});
  ASSERT_GE(WaitForBeats(25), 25u);
  StopHeartbeat();
  EXPECT_GE(probes.load(), 2);
}

TEST_F(Heartbeat, StartTwiceStartsOneThreadAndStopIsPromptMidPeriod) {
  const std::size_t before = lark::test::ThreadCount();
  StartHeartbeat({1h, ReadMemoryCounters});
  StartHeartbeat({1h, ReadMemoryCounters});
  EXPECT_EQ(lark::test::ThreadCount(), before + 1);
  ReturnsWithin(
      5s, [] { StopHeartbeat(); }, "StopHeartbeat while waiting");
  EXPECT_EQ(lark::test::ThreadCount(), before);
  StopHeartbeat();  // a second stop does nothing
}

TEST(MemoryCounters, CanBeRead) {
  const std::optional<MemoryCounters> counters = ReadMemoryCounters();
  ASSERT_TRUE(counters.has_value());
  EXPECT_GT(counters->workingSetSize, 0u);  // private usage reads 0 under Wine
}

}  // namespace
