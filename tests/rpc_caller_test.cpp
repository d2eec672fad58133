#include "rpc/rpc_caller.h"

#include <gtest/gtest.h>

#include <regex>

#include "protocol/lark_protocol.h"
#include "support/bounded.h"
#include "support/process_stats.h"
#include "support/reverse_parent.h"

namespace AnonRpc {
namespace {

using lark::test::ReturnsWithin;
using lark::test::ReverseParent;
using namespace std::chrono_literals;

// Time-outs long enough that an answered call never runs into them on a loaded machine (under
// the sanitizers or Wine, with other tests beside), and short ones for calls meant to time out.
constexpr CallTimeouts kAnswered{10s, 10s};
constexpr CallTimeouts kSilent{500ms, 30s};
constexpr CallTimeouts kShort{200ms, 200ms};

std::string MessageOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const RpcException& error) {
    return error.what();
  }
  return "<no exception>";
}

// The value, or the exception's message.
std::string OutcomeOf(const std::function<std::string()>& fn) {
  try {
    return fn();
  } catch (const RpcException& error) {
    return error.what();
  }
}

template <typename T>
std::string MessageOf(std::future<T>& future) {
  return MessageOf([&] { future.get(); });
}

struct CallerTest : ::testing::Test {
  explicit CallerTest(ReverseParent::Answer answer = ReverseParent::Echo(),
                      CallTimeouts timeouts = kAnswered)
      : parent(std::move(answer)),
        caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead(), timeouts) {
    caller.Start();
  }
  ~CallerTest() override {
    ReturnsWithin(
        30s, [this] { caller.Stop(); }, "RpcCaller::Stop");
  }
  ReverseParent parent;
  RpcCaller caller;
};

TEST_F(CallerTest, IdsCountUpAcrossSyncAndAsyncAndRefusedCallsTakeNone) {
  EXPECT_EQ(caller.Call(LarkProtocol::kGetJwtMethod, "a"), "a");
  std::future<std::string> second = caller.CallAsync(LarkProtocol::kCefControlMethod, "b");
  EXPECT_EQ(second.get(), "b");
  EXPECT_EQ(MessageOf([&] { caller.Call("", "x"); }), "Method name is empty");
  EXPECT_EQ(MessageOf([&] { caller.CallAsync("", "x"); }), "Method name is empty");
  EXPECT_EQ(caller.Call(LarkProtocol::kGetJwtMethod, ""), "");

  const std::vector<Request> seen = parent.WaitForRequests(3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].id, 1u);
  EXPECT_EQ(seen[0].method, LarkProtocol::kGetJwtMethod);
  EXPECT_EQ(seen[1].id, 2u);
  EXPECT_EQ(seen[1].method, LarkProtocol::kCefControlMethod);
  EXPECT_EQ(seen[2].id, 3u);
}

TEST_F(CallerTest, ArgumentLimitsAreCheckedMethodFirst) {
  const std::string atLimit(kMaxFieldBytes, 'x');
  const std::string overLimit(kMaxFieldBytes + 1, 'x');
  EXPECT_EQ(MessageOf([&] { caller.Call(overLimit, "p"); }), "Method too large");
  EXPECT_EQ(MessageOf([&] { caller.Call("m", overLimit); }), "Payload too large");
  EXPECT_EQ(MessageOf([&] { caller.CallAsync(overLimit, overLimit); }), "Method too large");
  // Exactly at the limit both go out; the parent sees them whole.
  std::future<std::string> method = caller.CallAsync(atLimit, "");
  EXPECT_EQ(caller.Call("m", atLimit).size(), kMaxFieldBytes);
  const std::vector<Request> seen = parent.WaitForRequests(2);
  EXPECT_EQ(seen[0].id, 1u);
  EXPECT_EQ(seen[0].method.size(), kMaxFieldBytes);
  EXPECT_EQ(seen[1].id, 2u);
}

struct ErrorAnswers : CallerTest {
  ErrorAnswers()
      : CallerTest([](const Request& r) {
          return Response{r.id, r.id == 1 ? 2u : 1u, r.payload};
        }) {}
};

TEST_F(ErrorAnswers, NonZeroStatusThrowsExactlyTheBody) {
  EXPECT_EQ(MessageOf([&] { caller.Call(LarkProtocol::kGetJwtMethod, "no token for you"); }),
            "no token for you");
  EXPECT_EQ(MessageOf([&] { caller.Call(LarkProtocol::kGetJwtMethod, ""); }), "");
  std::future<std::string> async = caller.CallAsync(LarkProtocol::kCefControlMethod, "refused");
  EXPECT_EQ(MessageOf(async), "refused");
}

struct ScriptedParent : CallerTest {
  ScriptedParent() : CallerTest(ReverseParent::Silent(), kSilent) {}
};

TEST_F(ScriptedParent, LateAndUnknownAnswersAreDiscardedAndReadingGoesOn) {
  try {
    caller.Call(LarkProtocol::kGetJwtMethod, "");
    FAIL() << "expected a time-out";
  } catch (const RpcTimeoutException& timeout) {
    EXPECT_STREQ(timeout.what(), "RPC call timeout");
  }
  parent.SendRaw(EncodeResponse(1, RpcStatus::Ok, "too late"));
  parent.SendRaw(EncodeResponse(999, RpcStatus::Ok, "nobody asked"));

  std::future<std::string> next = caller.CallAsync(LarkProtocol::kGetJwtMethod, "");
  parent.WaitForRequests(2);
  parent.SendRaw(EncodeResponse(2, RpcStatus::Ok, "fresh"));
  EXPECT_EQ(next.get(), "fresh");
}

TEST_F(ScriptedParent, WrongMagicFailsEveryPendingCallAndEndsTheReader) {
  std::future<std::string> first = caller.CallAsync("A", "");
  std::future<std::string> second = caller.CallAsync("B", "");
  parent.WaitForRequests(2);
  parent.SendRaw(EncodeRequest(1, "not", "a response"));
  EXPECT_EQ(MessageOf(first), "Pipe broken");
  EXPECT_EQ(MessageOf(second), "Pipe broken");

  // Nobody reads any more: a correct answer now goes unseen and the call times out.
  std::thread answer([&] {
    parent.WaitForRequests(3);
    parent.SendRaw(EncodeResponse(3, RpcStatus::Ok, "unseen"));
  });
  EXPECT_EQ(MessageOf([&] { caller.Call("C", ""); }), "RPC call timeout");
  answer.join();
}

TEST_F(ScriptedParent, OversizedBodyBreaksTheReader) {
  std::future<std::string> pending = caller.CallAsync("A", "");
  parent.WaitForRequests(1);
  FrameHeaderBytes header = EncodeHeader(ResponseHeader{kResponseMagic, 1, 0, kMaxFieldBytes + 1});
  parent.SendRaw({reinterpret_cast<const char*>(header.data()), header.size()});
  EXPECT_EQ(MessageOf(pending), "Pipe broken");
}

TEST(CallerReader, ParentClosingItsEndFailsPendingCalls) {
  ReverseParent parent(ReverseParent::Silent());
  RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead());
  caller.Start();
  std::future<std::string> pending = caller.CallAsync("A", "");
  parent.WaitForRequests(1);
  parent.CloseResponses();
  EXPECT_EQ(MessageOf(pending), "Pipe broken");
  caller.Stop();
}

TEST(CallerAsync, CallsTimeOutUnlessAnswered) {
  ReverseParent parent(ReverseParent::Silent());
  RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead(), {10s, 3s});
  caller.Start();
  std::future<std::string> unanswered = caller.CallAsync("A", "");
  std::future<std::string> answered = caller.CallAsync("B", "");
  parent.WaitForRequests(2);
  parent.SendRaw(EncodeResponse(2, RpcStatus::Ok, "in time"));
  EXPECT_EQ(answered.get(), "in time");
  try {
    unanswered.get();
    FAIL() << "expected a time-out";
  } catch (const RpcTimeoutException& timeout) {
    EXPECT_STREQ(timeout.what(), "Async RPC timeout");
  }
  caller.Stop();
}

// Calls made from several threads at once reach the timer in any order; each ends by its own
// time-out, none waits for another call to wake the timer.
TEST(CallerAsync, EachCallTimesOutOnItsOwnWhateverTheOrder) {
  ReverseParent parent(ReverseParent::Silent());
  RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead(), kShort);
  caller.Start();
  for (int round = 0; round < 3; ++round) {
    std::vector<std::future<std::string>> calls(8);
    std::vector<std::thread> threads;
    for (std::future<std::string>& call : calls)
      threads.emplace_back([&] { call = caller.CallAsync(LarkProtocol::kCefControlMethod, ""); });
    for (std::thread& thread : threads) thread.join();
    for (std::future<std::string>& call : calls) {
      ASSERT_EQ(call.wait_for(30s), std::future_status::ready) << "round " << round;
      EXPECT_EQ(MessageOf(call), "Async RPC timeout");
    }
  }
  caller.Stop();
}

TEST(CallerAsync, CallsMadeBeforeStartTimeOutToo) {
  ReverseParent parent(ReverseParent::Silent());
  RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead(), kShort);
  std::future<std::string> early = caller.CallAsync("A", "");
  ReturnsWithin(
      20s, [&] { EXPECT_EQ(MessageOf(early), "Async RPC timeout"); }, "a call before Start");
}

// After 2^32 calls the counter comes round to ids that may still wait for their answer.
TEST(CallerIds, AnIdStillWaitingIsNeverGivenToAnotherCall) {
  ReverseParent parent(ReverseParent::Silent());
  RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead(), kAnswered);
  caller.Start();
  std::string first;
  std::thread waiting([&] { first = OutcomeOf([&] { return caller.Call("A", ""); }); });
  parent.WaitForRequests(1);
  caller.SetNextIdForTest(1);
  std::future<std::string> second = caller.CallAsync("B", "");
  const std::vector<Request> seen = parent.WaitForRequests(2);
  EXPECT_NE(seen[1].id, 1u);
  parent.SendRaw(EncodeResponse(1, RpcStatus::Ok, "for A"));
  parent.SendRaw(EncodeResponse(seen[1].id, RpcStatus::Ok, "for B"));
  ReturnsWithin(
      30s, [&] { waiting.join(); }, "the first call");
  EXPECT_EQ(first, "for A");
  EXPECT_EQ(OutcomeOf([&] { return second.get(); }), "for B");
  caller.Stop();
}

TEST(CallerStop, FailsAWaitingCallAtOnceAndLaterCallsFail) {
  ReverseParent parent(ReverseParent::Silent());
  RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead());  // 10 s
  caller.Start();
  std::string message;
  std::thread waiting(
      [&] { message = MessageOf([&] { caller.Call(LarkProtocol::kGetJwtMethod, ""); }); });
  std::future<std::string> async = caller.CallAsync(LarkProtocol::kCefControlMethod, "");
  parent.WaitForRequests(2);
  ReturnsWithin(
      30s, [&] { caller.Stop(); }, "Stop");
  ReturnsWithin(
      5s, [&] { waiting.join(); }, "the waiting Call");
  EXPECT_EQ(message, "RpcCaller stopped");
  EXPECT_EQ(MessageOf(async), "RpcCaller stopped");
  EXPECT_TRUE(std::regex_match(MessageOf([&] { caller.Call(LarkProtocol::kGetJwtMethod, ""); }),
                               std::regex(R"(Write request \(err=[1-9][0-9]*\))")));
  caller.Stop();  // a second stop does nothing
}

// A stop with a grace lets an answer already on its way reach its call: the stop begins while
// the parent is still making it. A call nobody answers fails once the grace has passed.
TEST(CallerStop, AGraceLetsAnswersOnTheirWayArrive) {
  struct Case {
    ReverseParent::Answer answer;
    std::chrono::milliseconds grace;
    std::string outcome;
  };
  const Case cases[] = {
      {[](const Request& r) {
         std::this_thread::sleep_for(100ms);
         return std::optional<Response>(Response{r.id, 0, "token"});
       },
       20s, "token"},
      {ReverseParent::Silent(), 300ms, "RpcCaller stopped"},
  };
  for (const Case& c : cases) {
    ReverseParent parent(c.answer);
    RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead(), {1h, 1h});
    caller.Start();
    std::string got;
    std::thread waiting(
        [&] { got = OutcomeOf([&] { return caller.Call(LarkProtocol::kGetJwtMethod, ""); }); });
    parent.WaitForRequests(1);
    ReturnsWithin(
        30s, [&] { caller.Stop(c.grace); }, "Stop with a grace");
    waiting.join();
    EXPECT_EQ(got, c.outcome);
  }
}

TEST(CallerStop, ReturnsWhileARequestWriteIsBlockedOnAFullPipe) {
  lark::test::TestPipe requests(4096);  // nobody ever reads it
  lark::test::TestPipe responses;
  RpcCaller caller(requests.TakeWrite(), responses.TakeRead(), kShort);
  caller.Start();
  std::string message;
  std::thread writer(
      [&] { message = MessageOf([&] { caller.Call("Big", std::string(1 << 20, 'b')); }); });
  // The write may not have begun when Stop runs; either way the call must fail, not hang.
  ReturnsWithin(
      30s, [&] { caller.Stop(); }, "Stop");
  ReturnsWithin(
      30s, [&] { writer.join(); }, "blocked writer");
  EXPECT_TRUE(message.rfind("Write request (err=", 0) == 0 || message == "RpcCaller stopped")
      << message;
}

TEST(CallerWrite, AFailedWriteReportsTheSystemError) {
  lark::test::TestPipe requests;
  lark::test::TestPipe responses;
  RpcCaller caller(requests.TakeWrite(), responses.TakeRead(), kShort);
  caller.Start();
  requests.CloseRead();  // the parent is gone
  EXPECT_TRUE(std::regex_match(MessageOf([&] { caller.Call(LarkProtocol::kGetJwtMethod, ""); }),
                               std::regex(R"(Write request \(err=[1-9][0-9]*\))")));
  EXPECT_TRUE(
      std::regex_match(MessageOf([&] { caller.CallAsync(LarkProtocol::kCefControlMethod, "x"); }),
                       std::regex(R"(Write request \(err=[1-9][0-9]*\))")));
  caller.Stop();
}

// A write the parent never drains fails when the call's time runs out, even when the first
// cancel is lost as it lands on the write's entry; the frame it cut short leaves the pipe out of
// step, so later calls fail at once instead of writing after it.
TEST(CallerWrite, AWriteStillBlockedWhenTheTimeRunsOutIsCancelled) {
  for (const WriteRaceForTesting race :
       {WriteRaceForTesting::kNone, WriteRaceForTesting::kCancelLostAtEntry}) {
    lark::test::TestPipe requests(4096);  // nobody ever reads it
    lark::test::TestPipe responses;
    RpcCaller caller(requests.TakeWrite(), responses.TakeRead(), kShort);
    caller.Start();
    const std::regex failedWrite(R"(Write request \(err=[1-9][0-9]*\))");
    SetWriteRaceForTesting(race, 2);  // after the header and the method, the payload's write
    ReturnsWithin(
        20s,
        [&] {
          EXPECT_TRUE(std::regex_match(
              MessageOf([&] { caller.Call("Big", std::string(1 << 20, 'b')); }), failedWrite));
          EXPECT_TRUE(
              std::regex_match(MessageOf([&] { caller.CallAsync("Small", ""); }), failedWrite));
        },
        "calls on a pipe nobody drains");
    caller.Stop();
  }
}

// A write that is done just as its deadline cancels it: its call times out, by its own
// deadline, and the pipe is still in step, so the next call goes through.
TEST(CallerWrite, AWriteDoneAsItsTimeRunsOutLeavesThePipeInStep) {
  const std::pair<bool, std::string> cases[] = {{false, "RPC call timeout"},
                                                {true, "Async RPC timeout"}};
  for (const auto& [async, outcome] : cases) {
    SCOPED_TRACE(outcome);
    ReverseParent parent([](const Request& r) {
      return r.id == 1 ? std::nullopt : std::optional<Response>(Response{r.id, 0, r.payload});
    });
    RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead(), {1s, 1s});
    caller.Start();
    SetWriteRaceForTesting(WriteRaceForTesting::kCancelAfterCompletion, 2);  // the payload's
    if (async) {
      std::future<std::string> first = caller.CallAsync(LarkProtocol::kCefControlMethod, "late");
      // Nothing else is sent meanwhile: the time-out must come without another call's help.
      ASSERT_EQ(first.wait_for(30s), std::future_status::ready);
      EXPECT_EQ(MessageOf(first), outcome);
    } else {
      EXPECT_EQ(MessageOf([&] { caller.Call(LarkProtocol::kGetJwtMethod, "late"); }), outcome);
    }
    EXPECT_EQ(OutcomeOf([&] { return caller.Call(LarkProtocol::kGetJwtMethod, "next"); }), "next");
    caller.Stop();
  }
}

TEST(CallerThreads, ABurstOfAsyncCallsKeepsTheThreadCountFlat) {
  ReverseParent parent(ReverseParent::Silent());
  RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead(), kShort);
  caller.Start();
  const std::size_t before = lark::test::ThreadCount();
  std::vector<std::future<std::string>> calls;
  std::size_t most = before;
  for (int i = 0; i < 1000; ++i) {
    calls.push_back(caller.CallAsync(LarkProtocol::kCefControlMethod, "x"));
    if (i % 100 == 0) most = std::max(most, lark::test::ThreadCount());
  }
  EXPECT_EQ(most, before);
  for (auto& call : calls) EXPECT_EQ(MessageOf(call), "Async RPC timeout");
  caller.Stop();
}

// A write that throws (no memory, say) may have sent part of a frame: it gives up its turn, and
// every later write fails at once instead of waiting for a turn that never comes.
TEST(RequestWriter, AWriteThatThrowsGivesUpItsTurnAndEndsThePipe) {
  RequestWriter writer({});
  std::uint32_t error = 0;
  EXPECT_THROW(writer.Write(
                   RequestWriter::kNoDeadline, []() -> bool { throw std::bad_alloc(); }, &error),
               std::bad_alloc);
  ReturnsWithin(
      10s,
      [&] {
        EXPECT_EQ(writer.Write(
                      RequestWriter::kNoDeadline, [] { return true; }, &error),
                  RequestWriter::Outcome::Failed);
      },
      "the write after one that threw");
  EXPECT_EQ(error, CancelledPipeError());
}

}  // namespace
}  // namespace AnonRpc
