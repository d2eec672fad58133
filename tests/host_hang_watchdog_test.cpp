#include "host/hang_watchdog.h"
#include "protocol/lark_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace LarkHost {
namespace {

using namespace std::chrono_literals;
using Clock = HangWatchdog::Clock;
using Kind = HangReport::Kind;

constexpr auto kBound = 200ms;

struct HangWatchdogTest : ::testing::Test {
  HangWatchdog watchdog{{kBound, kBound, [] { return std::uint64_t{77}; }}};
  const Clock::time_point later = Clock::now() + 1h;

  static std::string Line(const HangReport& report, const char* dump = nullptr) {
    char text[256];
    return std::string(text, FormatHangReport(report, dump, text, sizeof text));
  }
};

TEST_F(HangWatchdogTest, AShutdownIsDueFromItsFirstRequestUntilItFinishes) {
  EXPECT_FALSE(watchdog.Check(later));  // nothing asked, nothing running

  const Clock::time_point before = Clock::now();
  watchdog.ShutdownRequested();
  const Clock::time_point after = Clock::now();
  EXPECT_FALSE(watchdog.Check(before + kBound - 1ms));
  watchdog.ShutdownRequested();  // a later request does not move the deadline
  for (int check = 0; check < 2; ++check) {
    const std::optional<HangReport> due = watchdog.Check(after + kBound);
    ASSERT_TRUE(due);
    EXPECT_EQ(due->kind, Kind::kShutdownHung);
    EXPECT_FALSE(due->call);
  }

  watchdog.ShutdownFinished();
  EXPECT_FALSE(watchdog.Check(later));
}

TEST_F(HangWatchdogTest, ASlowCallIsReportedOnceAndAShutdownNamesTheCallStillRunning) {
  const Clock::time_point started = Clock::now();
  watchdog.CallStarted(LarkProtocol::ExportName(LarkProtocol::EngineExport::Create));
  EXPECT_FALSE(watchdog.Check(started + kBound - 1ms));
  const std::optional<HangReport> slow = watchdog.Check(Clock::now() + kBound);
  ASSERT_TRUE(slow);
  EXPECT_EQ(slow->kind, Kind::kSlowCall);
  ASSERT_TRUE(slow->call);
  EXPECT_STREQ(slow->call->exportName,
               LarkProtocol::ExportName(LarkProtocol::EngineExport::Create));
  EXPECT_EQ(slow->call->threadId, 77u);
  EXPECT_GE(slow->call->running, kBound);
  EXPECT_FALSE(watchdog.Check(later));  // at most one report a call

  watchdog.CallEnded();
  EXPECT_FALSE(watchdog.Check(later));
  watchdog.CallStarted(LarkProtocol::ExportName(LarkProtocol::EngineExport::Delete));
  EXPECT_TRUE(watchdog.Check(later));  // the next call has a report of its own

  watchdog.ShutdownRequested();
  const std::optional<HangReport> hung = watchdog.Check(later);
  ASSERT_TRUE(hung);
  EXPECT_EQ(hung->kind, Kind::kShutdownHung);
  ASSERT_TRUE(hung->call);
  EXPECT_STREQ(hung->call->exportName,
               LarkProtocol::ExportName(LarkProtocol::EngineExport::Delete));
}

TEST_F(HangWatchdogTest, TheLineNamesTheCodeTheExportItsThreadAndTheTimeSoFar) {
  const HangReport::Call call{"LKWINSDK_WEBRTC_DELETE", 1234, 30250ms};
  EXPECT_EQ(Line({Kind::kShutdownHung, 30s, call}, "LarkRemoteHost_20261208_150102_5678.dmp"),
            "Shutdown did not finish within 30 s (0xC0000194 STATUS_POSSIBLE_DEADLOCK): "
            "LKWINSDK_WEBRTC_DELETE has run for 30.2 s on thread 1234; minidump "
            "LarkRemoteHost_20261208_150102_5678.dmp");
  EXPECT_EQ(Line({Kind::kShutdownHung, 30s, std::nullopt}),
            "Shutdown did not finish within 30 s (0xC0000194 STATUS_POSSIBLE_DEADLOCK): "
            "no engine call running");
  EXPECT_EQ(Line({Kind::kSlowCall, 30s, call}),
            "LKWINSDK_WEBRTC_DELETE has run for 30.2 s on thread 1234");

  char small[12];
  EXPECT_EQ(FormatHangReport({Kind::kSlowCall, 30s, call}, nullptr, small, sizeof small), 11u);
  EXPECT_STREQ(small, "LKWINSDK_WE");
}

}  // namespace
}  // namespace LarkHost
