#include "rpc/notify_sender.h"

#include <gtest/gtest.h>

#include <atomic>

#include "rpc/wire.h"
#include "support/bounded.h"
#include "support/captured_log.h"
#include "support/test_pipe.h"

namespace AnonRpc {
namespace {

using lark::test::CapturedLog;
using lark::test::ReturnsWithin;
using lark::test::TestPipe;
using namespace std::chrono_literals;

std::string ReadFrames(PipeHandle handle, std::size_t n) {
  std::string bytes;
  for (std::size_t i = 0; i < n; ++i) {
    std::optional<Notification> note = ReadNotification(handle);
    if (!note) break;
    bytes += EncodeNotification(note->type, note->payload);
  }
  return bytes;
}

TEST(NotifySender, WritesFramesByteForByteInArrivalOrder) {
  TestPipe pipe;
  NotifySender sender(pipe.TakeWrite(), nullptr);
  sender.Start();
  const std::string big(4096, 'z');
  EXPECT_TRUE(sender.Enqueue("2", ""));
  EXPECT_TRUE(sender.Enqueue("-3", "ab"));
  EXPECT_TRUE(sender.Enqueue("7", big));

  std::string heartbeat;
  ASSERT_TRUE(ReadExact(pipe.read(), 13, heartbeat));
  EXPECT_EQ(heartbeat, std::string("ANTY\x01\0\0\0\0\0\0\0"
                                   "2",
                                   13));
  EXPECT_EQ(ReadFrames(pipe.read(), 2),
            EncodeNotification("-3", "ab") + EncodeNotification("7", big));
  sender.Stop();
}

TEST(NotifySender, EmptyTypeIsRefusedAndChangesNothing) {
  TestPipe pipe;
  NotifySender sender(pipe.TakeWrite(), nullptr);
  EXPECT_FALSE(sender.Enqueue("", "payload"));
  EXPECT_EQ(sender.QueuedCount(), 0u);
  EXPECT_EQ(sender.DroppedCount(), 0u);
}

TEST(NotifySender, OverflowDropsTheOldestAndLogsEachDropWithItsTotal) {
  CapturedLog log;
  TestPipe pipe;
  NotifySender sender(pipe.TakeWrite(), nullptr);  // not started: the writer is stalled
  for (std::size_t i = 0; i < NotifySender::kQueueBound; ++i)
    ASSERT_TRUE(sender.Enqueue("t" + std::to_string(i), ""));
  EXPECT_EQ(sender.DroppedCount(), 0u);
  EXPECT_TRUE(sender.Enqueue("new1", ""));
  EXPECT_TRUE(sender.Enqueue("new2", ""));
  EXPECT_EQ(sender.QueuedCount(), NotifySender::kQueueBound);
  EXPECT_EQ(sender.DroppedCount(), 2u);

  sender.Start();  // the survivors go out oldest first: t0 and t1 are gone
  EXPECT_EQ(ReadFrames(pipe.read(), 1), EncodeNotification("t2", ""));
  sender.Stop();
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{
                "[AnonRpc::NotifySender::Enqueue] NotifySender queue overflow, dropped oldest "
                "(type=t0, total=1)",
                "[AnonRpc::NotifySender::Enqueue] NotifySender queue overflow, dropped oldest "
                "(type=t1, total=2)",
                "[AnonRpc::NotifySender::Stop] NotifySender total dropped during session: 2"}));
}

// An engine flooding large events at a parent that has stopped reading must not exhaust memory
// long before any count bound is reached.
TEST(NotifySender, TheQueuedBytesAreBoundedToo) {
  CapturedLog log;
  TestPipe pipe;
  NotifySender sender(pipe.TakeWrite(), nullptr);  // not started: the writer is stalled
  const std::string atLimit(kMaxFieldBytes, 'p');
  static_assert(NotifySender::kQueueByteBound == 16 * std::size_t{kMaxFieldBytes});
  // Sixteen payloads at the limit fill the bound; their types tip it over.
  for (int i = 0; i < 17; ++i) ASSERT_TRUE(sender.Enqueue("e" + std::to_string(i), atLimit));
  EXPECT_EQ(sender.QueuedCount(), 15u);
  EXPECT_EQ(sender.DroppedCount(), 2u);
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{
                "[AnonRpc::NotifySender::Enqueue] NotifySender queue overflow, dropped oldest "
                "(type=e0, total=1)",
                "[AnonRpc::NotifySender::Enqueue] NotifySender queue overflow, dropped oldest "
                "(type=e1, total=2)"}));
}

// The parent refuses a frame with a field above the limit and reads nothing after it: such an
// entry never goes out, and what comes after it does.
TEST(NotifySender, AFieldAboveTheLimitIsDroppedCountedAndLoggedWithItsSize) {
  CapturedLog log;
  TestPipe pipe;
  NotifySender sender(pipe.TakeWrite(), nullptr);
  sender.Start();
  const std::string atLimit(kMaxFieldBytes, 'y');
  EXPECT_FALSE(sender.Enqueue("9", std::string(kMaxFieldBytes + 1, 'x')));
  EXPECT_TRUE(sender.Enqueue("7", atLimit));
  EXPECT_FALSE(sender.Enqueue(std::string(kMaxFieldBytes + 1, 't'), ""));
  EXPECT_TRUE(sender.Enqueue("2", ""));
  EXPECT_EQ(sender.DroppedCount(), 2u);
  const std::optional<Notification> first = ReadNotification(pipe.read());
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->type, "7");
  EXPECT_TRUE(first->payload == atLimit);  // not printed: 4 MiB
  EXPECT_EQ(ReadFrames(pipe.read(), 1), EncodeNotification("2", ""));
  sender.Stop();
  EXPECT_EQ(log.Messages(),
            (std::vector<std::string>{
                "[AnonRpc::NotifySender::Enqueue] NotifySender notification too large, dropped "
                "(type=9, payload=4194305 bytes, total=1)",
                "[AnonRpc::NotifySender::Enqueue] NotifySender notification too large, dropped "
                "(type of 4194305 bytes, payload=0 bytes, total=2)",
                "[AnonRpc::NotifySender::Stop] NotifySender total dropped during session: 2"}));
}

TEST(NotifySender, StopLogsNothingWhenNothingWasDropped) {
  CapturedLog log;
  TestPipe pipe;
  NotifySender sender(pipe.TakeWrite(), nullptr);
  sender.Start();
  sender.Enqueue("2", "");
  sender.Stop();
  EXPECT_TRUE(log.Messages().empty());
}

// The parent stops reading: the writer blocks in a write, Stop discards the queue, cancels the
// write after its grace period and returns; what was queued never reaches the pipe, and the
// failed write does not count as a broken pipe.
TEST(NotifySender, StopIsBoundedWhenTheParentStopsReadingAndQueuedEntriesAreNeverWritten) {
  TestPipe pipe(4096);
  std::atomic<int> brokenCalls{0};
  NotifySender sender(pipe.TakeWrite(), [&] { ++brokenCalls; });
  sender.Start();
  const std::string chunk(16 * 1024, 'q');
  constexpr int kQueued = 64;
  for (int i = 0; i < kQueued; ++i) sender.Enqueue(std::to_string(i), chunk);
  ReturnsWithin(
      30s, [&] { sender.Stop(); }, "NotifySender::Stop");
  EXPECT_EQ(brokenCalls.load(), 0);

  // Whatever did reach the pipe is a whole-frame prefix of what was queued, and far from all.
  int frames = 0;
  while (std::optional<Notification> note = ReadNotification(pipe.read())) {
    EXPECT_EQ(note->type, std::to_string(frames));
    ++frames;
  }
  EXPECT_LT(frames, kQueued);
}

TEST(NotifySender, BrokenPipeCallsTheCallbackOnceAndQueueingGoesOn) {
  TestPipe pipe;
  std::mutex mutex;
  std::condition_variable called;
  int brokenCalls = 0;
  NotifySender sender(pipe.TakeWrite(), [&] {
    std::lock_guard lock(mutex);
    ++brokenCalls;
    called.notify_all();
  });
  sender.Start();
  pipe.CloseRead();
  sender.Enqueue("2", "");
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(called.wait_for(lock, 30s, [&] { return brokenCalls > 0; }));
  }
  // The writer has ended: entries pile up unwritten, and the callback is not called again.
  sender.Enqueue("2", "");
  sender.Enqueue("2", "");
  EXPECT_EQ(sender.QueuedCount(), 2u);
  sender.Stop();
  EXPECT_EQ(brokenCalls, 1);
}

TEST(NotifySender, BrokenPipeWithoutCallbackEndsTheWriterSilently) {
  TestPipe pipe;
  NotifySender sender(pipe.TakeWrite(), nullptr);
  sender.Start();
  pipe.CloseRead();
  sender.Enqueue("first", "");  // fails and ends the writer
  // Nothing is taken off the queue any more; wait for the writer to have taken the first.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (sender.QueuedCount() != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  sender.Enqueue("second", "");
  sender.Enqueue("third", "");
  EXPECT_EQ(sender.QueuedCount(), 2u);
  ReturnsWithin(
      30s, [&] { sender.Stop(); }, "Stop");
}

}  // namespace
}  // namespace AnonRpc
