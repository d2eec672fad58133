#include "host/heartbeat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "parent/host_connection.h"
#include "parent/pipe_set.h"
#include "rpc/rpc_endpoint.h"
#include "support/bounded.h"
#include "support/captured_log.h"
#include "support/process_stats.h"

namespace LarkHost {
namespace {

using lark::test::CapturedLog;
using lark::test::ReturnsWithin;
using namespace std::chrono_literals;

constexpr std::uint64_t kMiB = 1 << 20;

// A published endpoint whose parent counts the heartbeats, and a shutdown request the test can
// wait for.
struct HeartbeatTest : ::testing::Test {
  HeartbeatTest() {
    AnonRpc::HostPipes hostEnds;
    LarkParent::ParentEnds parentEnds;
    EXPECT_TRUE(LarkParent::CreatePipeSet(&hostEnds, &parentEnds));
    parent = std::make_unique<LarkParent::HostConnection>(std::move(parentEnds));
    parent->OnNotification([this](const AnonRpc::Notification& note) {
      std::lock_guard lock(mutex);
      beats.push_back(AnonRpc::EncodeNotification(note.type, note.payload));
      changed.notify_all();
    });
    parent->Start();
    endpoint = std::make_unique<AnonRpc::RpcEndpoint>(std::move(hostEnds), [] {});
    endpoint->StartAll();
    slot.Publish(endpoint.get());
  }
  ~HeartbeatTest() override {
    heartbeat.reset();
    slot.Clear();
    endpoint.reset();
    parent.reset();
  }

  void Start(HeartbeatSettings settings) {
    heartbeat = std::make_unique<Heartbeat>(
        slot,
        [this] {
          std::lock_guard lock(mutex);
          ++shutdownRequests;
          changed.notify_all();
        },
        std::move(settings));
    heartbeat->Start();
  }

  std::size_t WaitForBeats(std::size_t n) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 30s, [&] { return beats.size() >= n; });
    return beats.size();
  }
  bool ShutdownRequested(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return shutdownRequests > 0; });
  }

  static HeartbeatSettings Fast(std::uint64_t privateBytes, std::atomic<int>* probes = nullptr) {
    return {5ms, [=]() -> std::optional<MemoryCounters> {
              if (probes) ++*probes;
              return MemoryCounters{privateBytes, 800 * kMiB};
            }};
  }

  CapturedLog log;
  std::unique_ptr<LarkParent::HostConnection> parent;
  std::unique_ptr<AnonRpc::RpcEndpoint> endpoint;
  AnonRpc::EndpointSlot slot;
  std::unique_ptr<Heartbeat> heartbeat;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> beats;
  int shutdownRequests = 0;
};

TEST_F(HeartbeatTest, EachTickSendsTheThirteenByteHeartbeatAndEveryTenthReadsMemory) {
  std::atomic<int> probes{0};
  Start(Fast(kMemoryLimitBytes, &probes));  // exactly at the limit: no breach
  ASSERT_GE(WaitForBeats(25), 25u);
  heartbeat->Stop();
  std::lock_guard lock(mutex);
  for (const std::string& beat : beats)
    EXPECT_EQ(beat, std::string("ANTY\1\0\0\0\0\0\0\0"
                                "2",
                                13));
  EXPECT_GE(probes.load(), 2);
  EXPECT_LE(probes.load(), static_cast<int>(beats.size()) / 10);
  EXPECT_EQ(shutdownRequests, 0);
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(HeartbeatTest, OneByteAboveTheLimitIsABreachReportedOnce) {
  Start(Fast(kMemoryLimitBytes + 1));
  ASSERT_TRUE(ShutdownRequested(30s));
  EXPECT_EQ(WaitForBeats(10), 10u);
  {
    // The owner has not stopped it yet: over the next forty periods, no beat and no request.
    std::unique_lock lock(mutex);
    EXPECT_FALSE(
        changed.wait_for(lock, 200ms, [&] { return beats.size() > 10 || shutdownRequests > 1; }))
        << beats.size() << " beats, " << shutdownRequests << " shutdown requests";
  }
  ReturnsWithin(
      5s, [this] { heartbeat->Stop(); }, "Heartbeat::Stop after a breach");
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{
                "[StartHeartbeat::<lambda_1>::operator ()] Memory limit exceeded -- private=1000 "
                "MB > limit=1000 MB, working=800 MB. Requesting shutdown."}));
}

TEST_F(HeartbeatTest, BreachMessageGivesWholeMebibytes) {
  Start(Fast(1100 * kMiB + kMiB - 1));
  ASSERT_TRUE(ShutdownRequested(30s));
  heartbeat->Stop();
  EXPECT_EQ(log.Messages().at(0),
            "[StartHeartbeat::<lambda_1>::operator ()] Memory limit exceeded -- private=1100 MB > "
            "limit=1000 MB, working=800 MB. Requesting shutdown.");
}

// Out of memory, say: a tick that throws is skipped, and the heartbeat goes on.
TEST_F(HeartbeatTest, ATickThatThrowsIsSkipped) {
  std::atomic<int> probes{0};
  Start({5ms, [&]() -> std::optional<MemoryCounters> {
           if (++probes == 1) throw std::bad_alloc();
           return MemoryCounters{0, 0};
         }});
  ASSERT_GE(WaitForBeats(25), 25u);
  heartbeat->Stop();
  EXPECT_GE(probes.load(), 2);
}

TEST_F(HeartbeatTest, StartTwiceStartsOneThreadAndStopIsPromptMidPeriod) {
  const std::size_t before = lark::test::ThreadCount();
  Start({1h, ReadMemoryCounters});
  heartbeat->Start();
  EXPECT_EQ(lark::test::ThreadCount(), before + 1);
  ReturnsWithin(
      5s, [this] { heartbeat->Stop(); }, "Heartbeat::Stop while waiting");
  EXPECT_EQ(lark::test::ThreadCount(), before);
  heartbeat->Stop();  // a second stop does nothing
}

// Touching memory shows in the counters the watch reads, in bytes. Private usage reads 0 under
// Wine, and is checked only where the system gives it.
TEST(MemoryCounters, GrowByTheMemoryTouched) {
  constexpr std::size_t kTouched = 64 * kMiB;
  const std::optional<MemoryCounters> before = LarkHost::ReadMemoryCounters();
  ASSERT_TRUE(before.has_value());
  std::unique_ptr<char[]> block(new char[kTouched]);
  for (std::size_t i = 0; i < kTouched; i += 4096) static_cast<volatile char*>(block.get())[i] = 1;
  const std::optional<MemoryCounters> after = LarkHost::ReadMemoryCounters();
  ASSERT_TRUE(after.has_value());
  EXPECT_GE(after->workingSetSize, before->workingSetSize + kTouched * 3 / 4);
  EXPECT_LT(after->workingSetSize, before->workingSetSize + kTouched * 4);
  if (before->privateUsage != 0) {
    EXPECT_GE(after->privateUsage, before->privateUsage + kTouched * 3 / 4);
    EXPECT_LT(after->privateUsage, before->privateUsage + kTouched * 4);
  }
}

}  // namespace
}  // namespace LarkHost
