#include "engine/engine_callbacks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "parent/host_connection.h"
#include "parent/pipe_set.h"
#include "protocol/lark_protocol.h"
#include "rpc/endpoint_slot.h"
#include "rpc/rpc_endpoint.h"
#include "rpc/wire.h"
#include "support/bounded.h"
#include "support/captured_log.h"
#include "support/host_connection_test_peer.h"

namespace LarkEngine {
namespace {

using lark::test::CapturedLog;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr char kTag[] = "[DllControlIpcCallback] ";

// A running endpoint published for the callbacks, with a parent that records what arrives and
// answers "GetJWT" with `token` (status `tokenStatus`; silent when `silent`).
struct EngineCallbacks : ::testing::Test {
  EngineCallbacks() {
    EXPECT_TRUE(LarkParent::CreatePipeSet(&hostEnds, &parentEnds));
    parent = std::make_unique<LarkParent::HostConnection>(std::move(parentEnds));
    parent->Serve(LarkProtocol::kGetJwtMethod,
                  [this](const std::string&) -> std::optional<LarkParent::CallResult> {
                    Record("GetJWT");
                    if (silent) return std::nullopt;
                    return LarkParent::CallResult{tokenStatus, token};
                  });
    parent->Serve(LarkProtocol::kCefControlMethod, [this](const std::string& payload) {
      Record("CefControl " + payload);
      return LarkParent::CallResult{0, ""};
    });
    parent->OnNotification([this](const AnonRpc::Notification& note) {
      Record("notify " + note.type + " " + note.payload);
    });
    parent->Start();
    endpoint = std::make_unique<AnonRpc::RpcEndpoint>(
        std::move(hostEnds), [] {}, AnonRpc::CallTimeouts{5s, 5s});
    endpoint->StartAll();
    slot.Publish(endpoint.get());
    ConnectCallbacks(&slot);
  }
  ~EngineCallbacks() override {
    slot.Clear();
    endpoint->StopAll();
    slot.WaitForReaders();
    endpoint.reset();
    parent.reset();
    ConnectCallbacks(nullptr);
  }

  void Record(std::string what) {
    std::lock_guard lock(mutex);
    seen.push_back(std::move(what));
    changed.notify_all();
  }
  Lines WaitFor(std::size_t n) {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 30s, [&] { return seen.size() >= n; }))
        << "saw " << seen.size() << " of " << n;
    return seen;
  }
  Lines Seen() {
    std::lock_guard lock(mutex);
    return seen;
  }

  CapturedLog log;
  AnonRpc::HostPipes hostEnds;
  LarkParent::ParentEnds parentEnds;
  std::unique_ptr<LarkParent::HostConnection> parent;
  std::unique_ptr<AnonRpc::RpcEndpoint> endpoint;
  AnonRpc::EndpointSlot slot;

  std::string token = "header.payload.signature";
  std::uint32_t tokenStatus = 0;
  bool silent = false;
  std::mutex mutex;
  std::condition_variable changed;
  Lines seen;
};

TEST_F(EngineCallbacks, DataEventsBecomeNotificationsOfTheirLowBytes) {
  EngineDataCallback(7, u"hi");
  EngineDataCallback(-3, u"\u0141\u00e9");  // above U+00FF only the low byte survives
  EngineDataCallback(5, nullptr);
  EngineDataCallback(0, u"");
  EXPECT_EQ(WaitFor(3), (Lines{"notify 7 hi", "notify -3 A\xe9", "notify 0 "}));
}

TEST_F(EngineCallbacks, TokenRequestsCopyAtMost1023BytesAndNeverPastTheCapacity) {
  struct Case {
    std::size_t answer;
    int capacity;
    std::size_t copied;
  };
  std::size_t calls = 0;
  for (const Case& c :
       {Case{1500, 1024, 1023}, Case{10, 1024, 10}, Case{100, 16, 16}, Case{1023, 1000, 1000}}) {
    SCOPED_TRACE(std::to_string(c.answer) + " bytes into " + std::to_string(c.capacity));
    token = std::string(c.answer, 't');
    std::string buffer(2048, '\xab');
    EngineRequestCallback(kJwtRequestCode, buffer.data(), c.capacity);
    ++calls;
    EXPECT_EQ(buffer.find_first_not_of('t'), c.copied);
    EXPECT_EQ(buffer.substr(c.copied), std::string(2048 - c.copied, '\xab'));
  }
  EXPECT_EQ(WaitFor(calls).size(), calls);
}

TEST_F(EngineCallbacks, IgnoredTokenRequestsLeaveTheBufferAndAskNobody) {
  std::string buffer(64, '\xab');
  const std::string untouched = buffer;
  EngineRequestCallback(0xFF02, buffer.data(), 64);
  EngineRequestCallback(kJwtRequestCode, buffer.data(), 2048);
  EngineRequestCallback(kJwtRequestCode, buffer.data(), 0);
  EngineRequestCallback(kJwtRequestCode, buffer.data(), -5);
  EngineRequestCallback(kJwtRequestCode, nullptr, 64);
  EXPECT_EQ(buffer, untouched);

  // The parent refuses, answers nothing, or the answer is empty: still untouched.
  tokenStatus = 3;
  EngineRequestCallback(kJwtRequestCode, buffer.data(), 64);
  tokenStatus = 0;
  token.clear();
  EngineRequestCallback(kJwtRequestCode, buffer.data(), 64);
  silent = true;
  EngineRequestCallback(kJwtRequestCode, buffer.data(), 64);  // returns after the time-out
  EXPECT_EQ(buffer, untouched);
  EXPECT_EQ(Seen(), (Lines{"GetJWT", "GetJWT", "GetJWT"}));
}

TEST_F(EngineCallbacks, ControlTextsGoOutWithoutWaitingAndAreLogged) {
  DllControlIpcCallback("hello");
  DllControlIpcCallback(nullptr);
  EXPECT_EQ(WaitFor(1), (Lines{"CefControl hello"}));
  EXPECT_EQ(log.Messages(),
            (Lines{std::string(kTag) + "[ctl-ipc] 3) DllControlIpcCallback entry len=5",
                   std::string(kTag) + "[ctl-ipc] 4) AsyncCallParent queued method=CefControl",
                   std::string(kTag) + "[ctl-ipc] 3) DllControlIpcCallback null payload"}));
}

TEST_F(EngineCallbacks, AFailedControlWriteIsLoggedAndSwallowed) {
  LarkParent::HostConnectionTestPeer(*parent)
      .CloseReversePipes();  // the parent no longer reads the host's calls
  DllControlIpcCallback("x");
  const Lines lines = log.Messages();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(
      lines[1].rfind(
          std::string(kTag) + "[ctl-ipc] 4x) AsyncCallParent exception: Write request (err=", 0),
      0u)
      << lines[1];
}

// The parent refuses a frame with a field above the limit and reads that pipe no more: such an
// event or control text never leaves the host, and what follows it does.
TEST_F(EngineCallbacks, EventsAndControlTextsAboveTheFieldLimitNeverLeave) {
  const std::size_t above = AnonRpc::kMaxFieldBytes + 1;
  EngineDataCallback(9, std::u16string(above, u'x').c_str());
  EngineDataCallback(7, u"hi");
  DllControlIpcCallback(std::string(above, 'x').c_str());
  DllControlIpcCallback("ok");
  const Lines arrived = WaitFor(2);
  EXPECT_EQ(std::set<std::string>(arrived.begin(), arrived.end()),
            (std::set<std::string>{"notify 7 hi", "CefControl ok"}));
  EXPECT_EQ(endpoint->Sender().DroppedCount(), 1u);
  const Lines lines = log.Messages();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "[AnonRpc::NotifySender::Enqueue] NotifySender notification too large, dropped "
            "(type=9, payload=4194305 bytes, total=1)");
  EXPECT_EQ(lines[1], std::string(kTag) + "[ctl-ipc] 3) DllControlIpcCallback entry len=4194305");
  EXPECT_EQ(lines[2],
            std::string(kTag) + "[ctl-ipc] 4x) AsyncCallParent exception: Payload too large");
}

TEST_F(EngineCallbacks, WithoutAnEndpointNothingHappens) {
  slot.Clear();
  std::string buffer(8, '\xab');
  EngineDataCallback(1, u"x");
  EngineRequestCallback(kJwtRequestCode, buffer.data(), 8);
  DllControlIpcCallback("x");
  EXPECT_EQ(buffer, std::string(8, '\xab'));
  EXPECT_EQ(log.Messages(),
            (Lines{std::string(kTag) + "[ctl-ipc] 3) DllControlIpcCallback no child endpoint"}));
  EXPECT_TRUE(Seen().empty());
}

// Engine threads keep calling back while the host shuts the endpoint down as it does at exit.
TEST_F(EngineCallbacks, CallbacksRacingTheShutdownNeitherCrashNorHang) {
  std::atomic<bool> go{true};
  std::vector<std::thread> engineThreads;
  for (int t = 0; t < 3; ++t) {
    engineThreads.emplace_back([&, t] {
      std::string buffer(1024, '\xab');
      while (go.load()) {
        if (t == 0) EngineDataCallback(7, u"event");
        if (t == 1) EngineRequestCallback(kJwtRequestCode, buffer.data(), 1024);
        if (t == 2) DllControlIpcCallback("ctl");
      }
    });
  }
  WaitFor(20);
  lark::test::ReturnsWithin(
      30s,
      [&] {
        slot.Clear();
        endpoint->StopAll();
        slot.WaitForReaders();
      },
      "shutdown under callbacks");
  go = false;
  for (std::thread& thread : engineThreads) thread.join();
}

}  // namespace
}  // namespace LarkEngine
