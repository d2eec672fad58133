// One host life under load, run by ./run soak (a few minutes under Wine, so not by ./run test):
// 100,000 requests and 100,000 engine events delivered as notifications, with a few thousand
// reverse calls among them. What the host holds after a warm-up and at the end (handles,
// threads, working set, committed private memory) must not grow beyond a small tolerance.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>

#include "protocol/lark_protocol.h"
#include "support/host_dir.h"
#include "support/host_session.h"
#include "support/process_stats.h"

namespace LarkParent {
namespace {

using lark::test::FiguresOf;
using lark::test::HostDir;
using lark::test::ProcessFigures;
using namespace std::chrono_literals;

constexpr int kRequests = 100000;
constexpr int kEventsPerOpen = 1000;  // one OpenUrl in a thousand requests: 100,000 events
constexpr std::uint64_t kMiB = 1 << 20;

void Print(const char* when, const ProcessFigures& f) {
  std::printf("%-22s handles %4zu  threads %3zu  working set %7.1f MiB  pagefile %7.1f MiB\n", when,
              f.handles, f.threads, static_cast<double>(f.workingSet) / kMiB,
              static_cast<double>(f.pagefile) / kMiB);
  std::fflush(stdout);
}

TEST(Soak, OneHostLifeStaysFlat) {
  HostDir dir;
  std::filesystem::remove(dir.Path() / "lklogfile.txt");  // a log line per call would dominate
  dir.Script("on OPEN burst " + std::to_string(kEventsPerOpen) + " 7 " + std::string(32, 'e') +
             "\n"
             "on ENABLE_CONTROL request 65281 1024\n"
             "on CEF_INPUT controls 5 64\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  HostConnection& parent = host->Connection();
  std::atomic<int> events{0}, tokens{0}, controls{0};
  parent.OnNotification([&](const AnonRpc::Notification& note) {
    if (note.type == "7") ++events;
  });
  parent.Serve(LarkProtocol::kGetJwtMethod, [&](const std::string&) {
    ++tokens;
    return CallResult{0, "soak.jwt.token"};
  });
  parent.Serve(LarkProtocol::kCefControlMethod, [&](const std::string&) {
    ++controls;
    return CallResult{0, "ok"};
  });
  parent.Start();
  ASSERT_TRUE(parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})").has_value());
  ASSERT_TRUE(parent.Call(LarkProtocol::kStartMethod, "1").has_value());

  // Once every event sent so far has arrived and the engine's action threads have ended (an
  // export call joins those that have), the host holds only what it keeps.
  int opened = 0;
  const auto settle = [&] {
    lark::test::Eventually([&] { return events.load() == opened * kEventsPerOpen; }, 120s);
    for (int i = 0; i < 3; ++i) parent.Call(LarkProtocol::kIsRunMethod, "");
    const std::optional<ProcessFigures> figures = FiguresOf(host->ProcessId());
    EXPECT_TRUE(figures.has_value());
    return figures.value_or(ProcessFigures{});
  };
  ProcessFigures warm;
  int answered = 0;
  for (int i = 0; i < kRequests; ++i) {
    const char* method = LarkProtocol::kIsRunMethod;
    if (i % 1000 == 500) {
      method = LarkProtocol::kOpenUrlMethod;
      ++opened;
    } else if (i % 50 == 1) {
      method = LarkProtocol::kEnableControlMethod;
    } else if (i % 100 == 2) {
      method = LarkProtocol::kEnableCefMethod;
    }
    if (parent.Call(method, "1", 30s)) ++answered;
    if (i == kRequests / 10) Print("after the warm-up", warm = settle());
  }
  const ProcessFigures end = settle();
  Print("at the end", end);
  std::printf("answered %d of %d requests; %d events, %d GetJWT, %d CefControl\n", answered,
              kRequests, events.load(), tokens.load(), controls.load());
  EXPECT_EQ(answered, kRequests);
  EXPECT_EQ(events.load(), opened * kEventsPerOpen);
  EXPECT_GE(tokens.load() + controls.load(), 5000);

  // The tolerance: a few handles and one thread of slack, 10 % and 4 MiB of memory.
  EXPECT_LE(end.handles, warm.handles + 8);
  EXPECT_LE(end.threads, warm.threads + 1);
  EXPECT_LE(end.workingSet, warm.workingSet + warm.workingSet / 10 + 4 * kMiB);
  EXPECT_LE(end.pagefile, warm.pagefile + warm.pagefile / 10 + 4 * kMiB);

  ASSERT_TRUE(parent.Call(LarkProtocol::kReleaseMethod, "").has_value());
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(30s)));
}

}  // namespace
}  // namespace LarkParent
