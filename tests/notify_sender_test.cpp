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
TEST(NotifySender, TheQueuedBytesAreBoundedTooTheNewestEntryAlwaysStays) {
  CapturedLog log;
  TestPipe pipe;
  NotifySender sender(pipe.TakeWrite(), nullptr);  // not started: the writer is stalled
  const std::string nineMiB(9 << 20, 'p');
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(sender.Enqueue("e" + std::to_string(i), nineMiB));
  EXPECT_EQ(sender.QueuedCount(), 7u);  // 63 MiB of 64
  EXPECT_EQ(sender.DroppedCount(), 2u);
  EXPECT_TRUE(sender.Enqueue("whole", std::string(NotifySender::kQueueByteBound + 1, 'w')));
  EXPECT_EQ(sender.QueuedCount(), 1u);
  EXPECT_EQ(sender.DroppedCount(), 9u);
  const std::vector<std::string> lines = log.Messages();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0],
            "[AnonRpc::NotifySender::Enqueue] NotifySender queue overflow, dropped oldest "
            "(type=e0, total=1)");
  EXPECT_EQ(lines[8],
            "[AnonRpc::NotifySender::Enqueue] NotifySender queue overflow, dropped oldest "
            "(type=e8, total=9)");
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
