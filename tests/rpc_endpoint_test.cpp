#include "rpc/rpc_endpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "parent/host_connection.h"
#include "parent/pipe_set.h"
#include "protocol/lark_protocol.h"
#include "rpc/endpoint_slot.h"
#include "support/bounded.h"
#include "support/process_stats.h"

namespace AnonRpc {
namespace {

using lark::test::ReturnsWithin;
using namespace std::chrono_literals;

struct Pipes {
  Pipes() { EXPECT_TRUE(LarkParent::CreatePipeSet(&host, &parent)); }
  HostPipes host;
  LarkParent::ParentEnds parent;
};

// Reads one end to its end: true when nothing at all came before end of pipe.
bool EmptyUntilClosed(PipeHandle handle) {
  char byte;
  std::uint32_t got = 0;
  return !PipeRead(handle, &byte, 1, &got);
}

TEST(RpcEndpoint, ConstructionStartsNoThreadAndWritesNothing) {
  Pipes pipes;
  const std::size_t before = lark::test::ThreadCount();
  {
    RpcEndpoint endpoint(std::move(pipes.host), [] {});
    EXPECT_EQ(lark::test::ThreadCount(), before);
    endpoint.Sender().Enqueue("2", "");  // queued only
  }
  EXPECT_TRUE(EmptyUntilClosed(pipes.parent.responseRead.Get()));
  EXPECT_TRUE(EmptyUntilClosed(pipes.parent.reverseRequestRead.Get()));
  EXPECT_TRUE(EmptyUntilClosed(pipes.parent.notifyRead.Get()));
}

TEST(RpcEndpoint, StartAllTwiceStartsEachThreadOnce) {
  Pipes pipes;
  LarkParent::HostConnection parent(std::move(pipes.parent));
  RpcEndpoint endpoint(std::move(pipes.host), [] {});
  std::thread([] {}).join();  // a sanitizer starts its own helper thread with the first thread
  const std::size_t before = lark::test::ThreadCount();
  endpoint.StartAll();
  const std::size_t started = lark::test::ThreadCount();
  endpoint.StartAll();
  EXPECT_EQ(lark::test::ThreadCount(), started);
  EXPECT_EQ(started, before + 4);  // server, caller's reader and timer, sender's writer
  endpoint.StopAll();
  EXPECT_EQ(lark::test::ThreadCount(), before);
}

TEST(RpcEndpoint, CarriesCallsBothWaysAndNotifications) {
  Pipes pipes;
  LarkParent::HostConnection parent(std::move(pipes.parent));
  parent.Serve(LarkProtocol::kGetJwtMethod, [](const std::string&) {
    return LarkParent::CallResult{0, "token"};
  });
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Notification> notes;
  parent.OnNotification([&](const Notification& note) {
    std::lock_guard lock(mutex);
    notes.push_back(note);
    arrived.notify_all();
  });
  parent.Start();

  RpcEndpoint endpoint(std::move(pipes.host), [] {});
  endpoint.Server().RegisterMethod(LarkProtocol::kLarkInfoMethod, [&](const std::string& payload) {
    endpoint.Sender().Enqueue("7", payload);
    return endpoint.Caller().Call(LarkProtocol::kGetJwtMethod, "");
  });
  endpoint.StartAll();

  const std::optional<LarkParent::CallResult> answer =
      parent.Call(LarkProtocol::kLarkInfoMethod, "hi");
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->status, 0u);
  EXPECT_EQ(answer->body, "token");
  std::unique_lock lock(mutex);
  ASSERT_TRUE(arrived.wait_for(lock, 30s, [&] { return !notes.empty(); }));
  EXPECT_EQ(notes[0].type, "7");
  EXPECT_EQ(notes[0].payload, "hi");
}

// No thread may be inside the endpoint while it is destroyed (that is what EndpointSlot is for),
// so the pending call here is an asynchronous one whose future outlives the endpoint.
TEST(RpcEndpoint, DestructionWithoutStopAllStopsAllThree) {
  Pipes pipes;
  std::future<std::string> pending;
  {
    RpcEndpoint endpoint(std::move(pipes.host), [] {});
    endpoint.StartAll();
    pending = endpoint.Caller().CallAsync(LarkProtocol::kGetJwtMethod, "");
    // The parent never answers: wait until the request has gone out.
    ASSERT_TRUE(ReadRequest(pipes.parent.reverseRequestRead.Get()).has_value());
  }
  try {
    pending.get();
    ADD_FAILURE() << "the pending call succeeded";
  } catch (const RpcException& error) {
    EXPECT_STREQ(error.what(), "RpcCaller stopped");
  }
  EXPECT_TRUE(EmptyUntilClosed(pipes.parent.responseRead.Get()));
  EXPECT_TRUE(EmptyUntilClosed(pipes.parent.notifyRead.Get()));
}

// Many threads call both ways and notify while the parent answers, and the endpoint stops in
// the middle: nothing hangs or crashes, and every call ends with its answer or a documented error.
TEST(RpcEndpoint, StopInTheMiddleOfHeavyTraffic) {
  Pipes pipes;
  LarkParent::HostConnection parent(std::move(pipes.parent));
  parent.Serve("Echo", [](const std::string& payload) {
    return LarkParent::CallResult{0, payload};
  });
  std::atomic<int> notified{0};
  parent.OnNotification([&](const Notification&) { ++notified; });
  parent.Start();

  RpcEndpoint endpoint(
      std::move(pipes.host), [] {}, CallTimeouts{2s, 2s});
  EndpointSlot slot;
  slot.Publish(&endpoint);
  endpoint.StartAll();

  std::atomic<bool> go{true};
  std::atomic<int> answered{0};
  std::atomic<int> failed{0};
  std::atomic<int> unexpected{0};
  const auto classify = [&](const std::function<std::string()>& call, const std::string& sent) {
    try {
      if (call() == sent)
        ++answered;
      else
        ++unexpected;
    } catch (const RpcException& error) {
      const std::string message = error.what();
      const bool documented = message == "RpcCaller stopped" || message == "Pipe broken" ||
                              message == "RPC call timeout" || message == "Async RPC timeout" ||
                              message.rfind("Write request (err=", 0) == 0;
      if (documented)
        ++failed;
      else
        ++unexpected;
    }
  };
  std::vector<std::thread> workers;
  for (int t = 0; t < 6; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; go.load(); ++i) {
        const std::string payload = std::to_string(t) + ":" + std::to_string(i);
        AnonRpc::EndpointSlot::Lease lease = slot.Acquire();
        if (!lease) break;
        switch (i % 3) {
          case 0:
            classify([&] { return lease->Caller().Call("Echo", payload); }, payload);
            break;
          case 1:
            // The call itself throws when the stop cancels its request write.
            classify([&] { return lease->Caller().CallAsync("Echo", payload).get(); }, payload);
            break;
          default:
            lease->Sender().Enqueue("9", payload);
        }
      }
    });
  }
  // Let traffic build up, notifications arriving too (the parent reads them on a thread of its
  // own, so they may lag far behind the calls), then stop as the host does: unpublish, stop,
  // wait for the readers.
  const auto buildUpEnd = std::chrono::steady_clock::now() + 30s;
  while ((answered.load() < 300 || notified.load() == 0) &&
         std::chrono::steady_clock::now() < buildUpEnd)
    std::this_thread::yield();
  ReturnsWithin(
      30s,
      [&] {
        slot.Clear();
        endpoint.StopAll();
        slot.WaitForReaders();
      },
      "stop under traffic");
  go = false;
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GE(answered.load(), 300);
  EXPECT_GT(notified.load(), 0);
}

// A handler that waits on the parent through the reverse caller, in its request write on a pipe
// the parent does not read or for the answer to a synchronous call, must not hold StopAll: the
// time-outs here are an hour, so only the stop can release it.
TEST(RpcEndpoint, StopAllReleasesAHandlerBlockedOnTheParent) {
  struct Case {
    const char* name;
    std::function<void(RpcCaller&)> call;
    std::string outcome;  // what the handler's call ends with; empty: any failed write
  };
  const Case cases[] = {
      {"request write",
       [](RpcCaller& caller) {
         caller.CallAsync(LarkProtocol::kCefControlMethod, std::string(1 << 20, 'x'));
       },
       ""},
      {"synchronous call", [](RpcCaller& caller) { caller.Call(LarkProtocol::kGetJwtMethod, ""); },
       "RpcCaller stopped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipes pipes;  // nobody reads the reverse requests or answers them
    RpcEndpoint endpoint(
        std::move(pipes.host), [] {}, CallTimeouts{1h, 1h});
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    std::string outcome = "<returned>";
    endpoint.Server().RegisterMethod(LarkProtocol::kStartMethod, [&](const std::string&) {
      {
        std::lock_guard lock(mutex);
        entered = true;
        changed.notify_all();
      }
      try {
        c.call(endpoint.Caller());
      } catch (const RpcException& error) {
        outcome = error.what();
      }
      return std::string("ok");
    });
    endpoint.StartAll();
    ASSERT_TRUE(WriteRequest(pipes.parent.requestWrite.Get(), 1, LarkProtocol::kStartMethod, "1"));
    {
      std::unique_lock lock(mutex);
      ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return entered; }));
    }
    // A synchronous call waits once its request is out; a write may block before or after.
    if (!c.outcome.empty()) {
      ASSERT_TRUE(ReadRequest(pipes.parent.reverseRequestRead.Get()).has_value());
    }
    ReturnsWithin(
        10s, [&] { endpoint.StopAll(); }, "StopAll");
    if (c.outcome.empty()) {
      EXPECT_EQ(outcome.rfind("Write request (err=", 0), 0u) << outcome;
    } else {
      EXPECT_EQ(outcome, c.outcome);
    }
  }
}

// The host builds its endpoint as the first case does: its calls to the parent must wait the
// protocol's time, which the parent's side counts on. (The caller's own tests show that it keeps
// to the time it is given.)
TEST(CallerTimeouts, TheEndpointGivesItsCallerTheProtocolsTimeUnlessToldOtherwise) {
  using std::chrono::milliseconds;
  {
    Pipes pipes;
    RpcEndpoint endpoint(std::move(pipes.host), [] {});
    EXPECT_EQ(endpoint.Caller().Timeouts().call, milliseconds(LarkProtocol::kReverseCallTimeout));
    EXPECT_EQ(endpoint.Caller().Timeouts().async, milliseconds(LarkProtocol::kReverseCallTimeout));
  }
  Pipes pipes;
  RpcEndpoint endpoint(
      std::move(pipes.host), [] {}, CallTimeouts{7ms, 9ms});
  EXPECT_EQ(endpoint.Caller().Timeouts().call, 7ms);
  EXPECT_EQ(endpoint.Caller().Timeouts().async, 9ms);
}

TEST(EndpointSlot, LeasesKeepTheEndpointUntilReleased) {
  Pipes pipes;
  RpcEndpoint endpoint(std::move(pipes.host), [] {});
  EndpointSlot slot;
  EXPECT_FALSE(slot.Acquire());
  slot.Publish(&endpoint);
  std::optional<EndpointSlot::Lease> held(slot.Acquire());
  ASSERT_TRUE(*held);
  EXPECT_EQ(&**held, &endpoint);
  EXPECT_EQ(slot.Clear(), &endpoint);
  EXPECT_FALSE(slot.Acquire());

  // The owner may only get past the wait once the lease has ended. Whether it would wrongly get
  // past can only be seen by giving it the time to: a short wait that passes only on a fault.
  std::mutex mutex;
  std::condition_variable changed;
  bool waiting = false;
  bool drained = false;
  std::atomic<bool> leaseEnded{false};
  bool drainedAfterTheLease = false;
  std::thread owner([&] {
    {
      std::lock_guard lock(mutex);
      waiting = true;
    }
    changed.notify_all();
    slot.WaitForReaders();
    std::lock_guard lock(mutex);
    drained = true;
    drainedAfterTheLease = leaseEnded.load();
    changed.notify_all();
  });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return waiting; }));
    EXPECT_FALSE(changed.wait_for(lock, 200ms, [&] { return drained; }));
  }
  leaseEnded = true;
  held.reset();
  ReturnsWithin(
      30s, [&] { owner.join(); }, "WaitForReaders after the last lease ended");
  EXPECT_TRUE(drained);
  EXPECT_TRUE(drainedAfterTheLease);
}

// A host that stops reading its requests blocks a big request write once the pipe is full, and
// every call behind it: each still returns at its own time-out, and since the cut-short frame
// leaves the pipe out of step, every later call fails at once.
TEST(HostConnectionWrite, ATimeOutCoversTheRequestWriteAndTheWaitForIt) {
  Pipes pipes;  // the host's ends stay open and unread
  LarkParent::HostConnection parent(std::move(pipes.parent));
  std::mutex mutex;
  std::condition_variable changed;
  bool bigWriteBegun = false;
  parent.ObserveFrames([&](LarkParent::Pipe, std::string_view frame) {
    std::lock_guard lock(mutex);
    bigWriteBegun = bigWriteBegun || frame.size() > 1000;
    changed.notify_all();
  });
  parent.Start();
  std::optional<LarkParent::CallResult> big = LarkParent::CallResult{};
  std::optional<LarkParent::CallResult> behind = LarkParent::CallResult{};
  ReturnsWithin(
      30s,
      [&] {
        std::thread first([&] {
          big = parent.Call(LarkProtocol::kLarkInfoMethod, std::string(1 << 20, 'x'), 1s);
        });
        {
          std::unique_lock lock(mutex);
          changed.wait(lock, [&] { return bigWriteBegun; });
        }
        behind = parent.Call(LarkProtocol::kIsRunMethod, "", 500ms);
        first.join();
      },
      "calls to a host that does not read");
  EXPECT_FALSE(big.has_value());
  EXPECT_FALSE(behind.has_value());
  ReturnsWithin(
      30s, [&] { EXPECT_FALSE(parent.Call(LarkProtocol::kIsRunMethod, "", 120s).has_value()); },
      "a call after a write was cut short");
}

}  // namespace
}  // namespace AnonRpc
