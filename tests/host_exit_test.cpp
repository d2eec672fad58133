#include "parent/host_exit.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "logging/log_files.h"
#include "support/temp_dir.h"

namespace LarkParent {
namespace {

constexpr char kDumpOf5678[] = "LarkRemoteHost_20261208_150102_5678.dmp";

void WriteLog(const lark::test::TempDir& dir, const std::string& text) {
  std::ofstream(dir.Path() / std::string(LarkLogging::kLogFileName), std::ios::binary) << text;
}

std::string Watchdog(const std::string& what, const std::string& dump) {
  return "2026-12-08 15:01:02.345 [HangWatchdog] Shutdown did not finish within 30 s "
         "(0xC0000194 STATUS_POSSIBLE_DEADLOCK): " +
         what + (dump.empty() ? "" : "; minidump " + dump) + "\r\n";
}

// The host's watchdog line names the engine call and the dump; the log holds other hosts' lines
// as well.
TEST(HostExit, AHungHostIsDescribedByItsWatchdogLine) {
  struct Case {
    std::string log;
    std::string described;
  };
  const std::string deleteRunning = "LKWINSDK_WEBRTC_DELETE has run for 30.0 s on thread 1234";
  const Case cases[] = {
      {Watchdog(deleteRunning, kDumpOf5678),
       std::string("host ended itself after LKWINSDK_WEBRTC_DELETE did not return for 30 s; see ") +
           kDumpOf5678},
      {Watchdog("no engine call running", kDumpOf5678),
       std::string("host ended itself after its shutdown did not finish within 30 s; see ") +
           kDumpOf5678},
      {"2026-12-08 15:00:00.000 [WinMain] Shutting down\r\n" +
           Watchdog("LKWINSDK_WEBRTC_START has run for 31.5 s on thread 1",
                    "LarkRemoteHost_20261208_150102_9999.dmp") +
           Watchdog(deleteRunning, kDumpOf5678) +
           Watchdog("no engine call running", "LarkRemoteHost_20261208_150202_9999.dmp"),
       std::string("host ended itself after LKWINSDK_WEBRTC_DELETE did not return for 30 s; see ") +
           kDumpOf5678},
      {Watchdog(deleteRunning, ""),
       "host ended itself after LKWINSDK_WEBRTC_DELETE did not return for 30 s; it left no "
       "minidump"},
      {"",
       "host ended itself with 0xC0000194 after its shutdown hung; it left no log line or "
       "minidump"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    lark::test::TempDir dir("host-exit-");
    WriteLog(dir, c.log);
    EXPECT_EQ(DescribeHostExit(kHostHungExitCode, 5678, dir.Path()), c.described);
  }
  lark::test::TempDir noLog("host-exit-");
  EXPECT_EQ(DescribeHostExit(kHostHungExitCode, 5678, noLog.Path()),
            "host ended itself with 0xC0000194 after its shutdown hung; it left no log line or "
            "minidump");
  std::ofstream(noLog.Path() / kDumpOf5678) << "MDMP";
  EXPECT_EQ(
      DescribeHostExit(kHostHungExitCode, 5678, noLog.Path()),
      std::string("host ended itself with 0xC0000194 after its shutdown hung; see ") + kDumpOf5678);
}

}  // namespace
}  // namespace LarkParent
