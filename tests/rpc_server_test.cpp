#include "rpc/rpc_server.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "protocol/lark_protocol.h"
#include "support/bounded.h"
#include "support/test_pipe.h"

namespace AnonRpc {
namespace {

using lark::test::ReturnsWithin;
using lark::test::TestPipe;
using namespace std::chrono_literals;

// The parent's side of the forward pipes, with a server that owns the host's ends.
class ServerTest : public ::testing::Test {
 protected:
  ServerTest()
      : server_(requests_.TakeRead(), requests_.DuplicateWrite(), responses_.TakeWrite()),
        parentWrite_(requests_.TakeWrite()) {}
  ~ServerTest() override {
    ReturnsWithin(
        30s, [this] { server_.Stop(); }, "RpcServer::Stop");
  }

  void Send(std::string_view bytes) { ASSERT_TRUE(WriteAll(parentWrite_.Get(), bytes)); }
  Response Receive() {
    std::optional<Response> response = ReadResponse(responses_.read());
    EXPECT_TRUE(response.has_value());
    return response.value_or(Response{});
  }
  Response Call(std::uint32_t id, std::string_view method, std::string_view payload = "") {
    Send(EncodeRequest(id, method, payload));
    return Receive();
  }
  // After Stop has closed the host's end, nothing more may be waiting in the response pipe.
  void ExpectNoFurtherResponse() {
    ReturnsWithin(
        30s, [this] { server_.Stop(); }, "RpcServer::Stop");
    std::string rest;
    EXPECT_FALSE(ReadExact(responses_.read(), 1, rest)) << "unexpected bytes after stop";
  }

  TestPipe requests_;
  TestPipe responses_;
  RpcServer server_;
  UniquePipe parentWrite_;
};

TEST_F(ServerTest, AnswersRegisteredMethodsWithTheRequestId) {
  server_.RegisterMethod(LarkProtocol::kIsRunMethod,
                         [](const std::string&) { return std::string("true"); });
  server_.RegisterMethod("Echo", [](const std::string& payload) { return payload; });
  server_.Start();

  Send(EncodeRequest(7, LarkProtocol::kIsRunMethod, ""));
  std::string bytes;
  ASSERT_TRUE(ReadExact(responses_.read(), 20, bytes));
  EXPECT_EQ(bytes, EncodeResponse(7, RpcStatus::Ok, "true"));

  const Response empty = Call(8, "Echo", "");
  EXPECT_EQ(empty.id, 8u);
  EXPECT_EQ(empty.status, 0u);
  EXPECT_EQ(empty.body, "");
  EXPECT_EQ(Call(0xFFFFFFFF, "Echo", "x").id, 0xFFFFFFFFu);
}

TEST_F(ServerTest, UnknownEmptyAndCaseDifferentMethodsAreNotFound) {
  server_.RegisterMethod(LarkProtocol::kStartMethod,
                         [](const std::string&) { return std::string("ok"); });
  server_.Start();

  const Response empty = Call(1, "");
  EXPECT_EQ(empty.status, static_cast<std::uint32_t>(RpcStatus::MethodNotFound));
  EXPECT_EQ(empty.body, "Method not found: ");

  const Response lower = Call(2, "start");
  EXPECT_EQ(lower.id, 2u);
  EXPECT_EQ(lower.status, 1u);
  EXPECT_EQ(lower.body, "Method not found: start");

  EXPECT_EQ(Call(3, LarkProtocol::kStartMethod).body, "ok");  // still serving
}

TEST_F(ServerTest, RegisteringANameTwiceKeepsTheSecondHandler) {
  server_.RegisterMethod("M", [](const std::string&) { return std::string("first"); });
  server_.RegisterMethod("M", [](const std::string&) { return std::string("second"); });
  server_.Start();
  EXPECT_EQ(Call(1, "M").body, "second");
  // A handler may register methods while the server runs.
  server_.RegisterMethod("Late", [](const std::string&) { return std::string("late"); });
  EXPECT_EQ(Call(2, "Late").body, "late");
}

TEST_F(ServerTest, ThrowingHandlersAnswerHandlerErrorAndServingGoesOn) {
  server_.RegisterMethod("Std", [](const std::string&) -> std::string {
    throw std::invalid_argument("invalid stoi argument");
  });
  server_.RegisterMethod("Other", [](const std::string&) -> std::string { throw 42; });
  server_.RegisterMethod("Fine", [](const std::string& p) { return "got " + p; });
  server_.Start();

  const Response standard = Call(1, "Std");
  EXPECT_EQ(standard.status, static_cast<std::uint32_t>(RpcStatus::HandlerError));
  EXPECT_EQ(standard.body, "invalid stoi argument");
  EXPECT_EQ(Call(2, "Fine", "a").body, "got a");

  const Response other = Call(3, "Other");
  EXPECT_EQ(other.status, 3u);
  EXPECT_EQ(other.body, "Unknown error");
  EXPECT_EQ(Call(4, "Fine", "b").body, "got b");
}

TEST_F(ServerTest, WrongMagicIsAnsweredWithIdZeroAndEndsServing) {
  server_.RegisterMethod("Fine", [](const std::string&) { return std::string("ok"); });
  server_.Start();
  std::string bad = EncodeRequest(55, "Fine", "");
  bad[3] = 'X';
  Send(bad);
  const Response response = Receive();
  EXPECT_EQ(response.id, 0u);
  EXPECT_EQ(response.status, static_cast<std::uint32_t>(RpcStatus::ProtocolError));
  EXPECT_EQ(response.body, "Invalid request magic");

  Send(EncodeRequest(56, "Fine", ""));  // no longer read
  ExpectNoFurtherResponse();
}

TEST_F(ServerTest, FieldLimitsAcceptFourMebibytesAndRefuseOneByteMore) {
  server_.RegisterMethod("Size", [](const std::string& p) { return std::to_string(p.size()); });
  server_.Start();

  const std::string exact(kMaxFieldBytes, 'p');
  EXPECT_EQ(Call(1, "Size", exact).body, "4194304");
  // The answer naming a 4 MiB method stays within the limit the parent reads to: the name is
  // cut short.
  Send(EncodeRequest(2, std::string(kMaxFieldBytes, 'm'), ""));
  const std::optional<Response> notFound = ReadResponse(responses_.read());
  ASSERT_TRUE(notFound.has_value());
  EXPECT_EQ(notFound->status, 1u);
  EXPECT_EQ(notFound->body.size(), kMaxFieldBytes);
  EXPECT_TRUE(notFound->body ==
              "Method not found: " + std::string(kMaxFieldBytes - 18, 'm'));  // not printed: 4 MiB

  // Only the header is sent: the refusal must come without the payload being read.
  Send([] {
    const FrameHeaderBytes h =
        EncodeHeader(RequestHeader{kRequestMagic, 77, 4, kMaxFieldBytes + 1});
    return std::string(reinterpret_cast<const char*>(h.data()), h.size());
  }());
  const Response refused = Receive();
  EXPECT_EQ(refused.id, 77u);
  EXPECT_EQ(refused.status, 2u);
  EXPECT_EQ(refused.body, "Field too large");
  Send(EncodeRequest(78, "Size", "after"));
  ExpectNoFurtherResponse();
}

TEST_F(ServerTest, OversizedMethodLengthIsRefusedToo) {
  server_.Start();
  const FrameHeaderBytes h = EncodeHeader(RequestHeader{kRequestMagic, 5, kMaxFieldBytes + 1, 0});
  Send({reinterpret_cast<const char*>(h.data()), h.size()});
  const Response refused = Receive();
  EXPECT_EQ(refused.id, 5u);
  EXPECT_EQ(refused.body, "Field too large");
}

TEST_F(ServerTest, StopWhileWaitingWritesNoReplyAndASecondStopDoesNothing) {
  server_.Start();
  ReturnsWithin(
      30s, [this] { server_.Stop(); }, "Stop");
  ReturnsWithin(
      30s, [this] { server_.Stop(); }, "second Stop");
  std::string rest;
  EXPECT_FALSE(ReadExact(responses_.read(), 1, rest));
}

// The reply the parent is owed is written when its handler ends within the stop's grace.
TEST_F(ServerTest, AHandlerEndingSoonAfterStopStillGetsItsAnswerWritten) {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  server_.RegisterMethod(LarkProtocol::kReleaseMethod, [&](const std::string&) {
    {
      std::lock_guard lock(mutex);
      entered = true;
      changed.notify_all();
    }
    std::this_thread::sleep_for(200ms);  // the handler's own work, still going as Stop begins
    return std::string("ok");
  });
  server_.Start();
  Send(EncodeRequest(9, LarkProtocol::kReleaseMethod, ""));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return entered; }));
  }
  ReturnsWithin(
      30s, [this] { server_.Stop(); }, "Stop");
  const Response answer = Receive();
  EXPECT_EQ(answer.id, 9u);
  EXPECT_EQ(answer.body, "ok");
}

TEST_F(ServerTest, StopAfterTheThreadEndedOnItsOwnReturns) {
  server_.Start();
  std::string bad = EncodeRequest(1, "x", "");
  bad[0] = 0;
  Send(bad);
  EXPECT_EQ(Receive().status, 2u);  // the thread has ended
  ReturnsWithin(
      30s, [this] { server_.Stop(); }, "Stop");
}

TEST_F(ServerTest, ParentClosingItsEndLeavesStopWorking) {
  server_.RegisterMethod("Fine", [](const std::string&) { return std::string("ok"); });
  server_.Start();
  EXPECT_EQ(Call(1, "Fine").body, "ok");
  parentWrite_.Reset();
  ReturnsWithin(
      30s, [this] { server_.Stop(); }, "Stop");
}

// The wake-up frame cannot reach the server and the parent neither writes nor closes: Stop
// still returns, by cancelling the server's blocked read (and the blocked wake-up write).
TEST(ServerStop, ReturnsWhenTheWakeUpCannotBeWritten) {
  for (const bool fullPipe : {false, true}) {
    SCOPED_TRACE(fullPipe ? "wake-up write blocks on a full pipe" : "no wake-up handle");
    TestPipe requests;
    TestPipe responses;
    TestPipe elsewhere(4096);
    PipeThread filler;
    UniquePipe wakeTarget;
    if (fullPipe) {
      wakeTarget = elsewhere.DuplicateWrite();
      filler.Start([&] {
        const std::string big(1 << 20, 'f');
        WriteAll(elsewhere.write(), big);  // blocks: nobody reads this pipe
      });
    }
    RpcServer server(requests.TakeRead(), std::move(wakeTarget), responses.TakeWrite());
    server.Start();
    ReturnsWithin(
        30s, [&] { server.Stop(); }, "Stop");
    filler.Join(0ms);
  }
}

}  // namespace
}  // namespace AnonRpc
