// Crashes and hangs inside the real LarkRemoteHost.exe, provoked by the stand-in engine: what
// the host leaves behind and what its parent sees. The hangs run with the shipped 30 s bounds.

#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <string>

#include "parent/host_exit.h"
#include "parent/host_process.h"
#include "protocol/lark_protocol.h"
#include "support/host_connection_test_peer.h"
#include "support/host_dir.h"
#include "support/host_session.h"

namespace LarkParent {
namespace {

namespace fs = std::filesystem;
using lark::test::HostDir;
using namespace std::chrono_literals;

// Writing a dump takes a few seconds under Wine.
constexpr auto kExit = 60s;

constexpr std::uint32_t kAccessViolation = 0xC0000005;
constexpr std::uint32_t kAbort = 0x40000015;

constexpr char kAccessInsideStart[] = "inside START crash-access\n";

struct Ending {
  std::uint32_t processId = 0;
  std::optional<std::uint32_t> exitCode;
  bool pipesEnded = false;
};

// Starts a host with the script and drives it to START (LarkInfo first: START needs an
// instance), then waits for its end. Calls that the crash cuts off end with the pipes.
Ending Provoke(const HostDir& dir, const char* script) {
  dir.Script(script);
  std::unique_ptr<HostProcess> host = dir.Launch();
  if (!host) return {};
  HostConnection& parent = host->Connection();
  parent.Start();
  parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})", kExit);
  parent.Call(LarkProtocol::kStartMethod, "1", kExit);
  Ending ending{host->ProcessId(), host->WaitForExit(kExit)};
  ending.pipesEnded = HostConnectionTestPeer(parent).WaitForHostEnds(10s);
  return ending;
}

std::string Hex(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

// The thread that the stand-in recorded under `what` (CRASH, BLOCKED) last; 0 when none.
std::uint32_t RecordedThread(const HostDir& dir, const std::string& what = "CRASH") {
  std::uint32_t thread = 0;
  for (const std::string& call : dir.EngineCalls())
    if (call.rfind(what + "\t", 0) == 0) thread = std::stoul(call.substr(what.size() + 1));
  return thread;
}

struct Dump {
  std::optional<std::uint32_t> exceptionThread;  // with an exception stream only
  std::uint32_t exceptionCode = 0;
  std::set<std::uint32_t> threads;  // every thread the dump holds
};

// What a minidump holds of threads and exception; nullopt when the file does not begin with the
// minidump signature "MDMP" or cannot be read.
std::optional<Dump> ReadDump(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  const auto read = [&](std::size_t offset, auto& value) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof value) return false;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return true;
  };
  MINIDUMP_HEADER header;
  if (!bytes.starts_with("MDMP") || !read(0, header)) return std::nullopt;
  Dump dump;
  for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
    MINIDUMP_DIRECTORY entry;
    if (!read(header.StreamDirectoryRva + i * sizeof entry, entry)) return std::nullopt;
    MINIDUMP_EXCEPTION_STREAM stream;
    if (entry.StreamType == ExceptionStream && read(entry.Location.Rva, stream)) {
      dump.exceptionThread = stream.ThreadId;
      dump.exceptionCode = stream.ExceptionRecord.ExceptionCode;
    }
    ULONG32 count = 0;
    if (entry.StreamType == ThreadListStream && read(entry.Location.Rva, count)) {
      for (ULONG32 t = 0; t < count; ++t) {
        MINIDUMP_THREAD thread;
        if (!read(entry.Location.Rva + sizeof count + t * sizeof thread, thread))
          return std::nullopt;
        dump.threads.insert(thread.ThreadId);
      }
    }
  }
  return dump;
}

std::set<std::string> DumpsIn(const HostDir& dir) {
  std::set<std::string> dumps;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.Path()))
    if (entry.path().extension() == ".dmp") dumps.insert(entry.path().filename().string());
  return dumps;
}

// The host's "CrashHandler" line: what, the code, the place, the thread and the dump's name.
const std::regex kCrashLine(
    R"(\[CrashHandler\] (.+) (0x[0-9A-F]{8}) at LarkRemoteStreamer\.dll\+0x[0-9A-F]+ )"
    R"(on thread ([0-9]+); minidump (LarkRemoteHost_[0-9]{8}_[0-9]{6}_([0-9]+)\.dmp))");

// The engine crashes the host on the request server's thread, on a thread of its own, and on
// the main thread (CREATE runs there); the last through the engine's own C++ runtime.
TEST(HostCrash, EachKindLeavesItsCodeALastLogLineAndADump) {
  struct Kind {
    const char* script;
    std::uint32_t code;
    const char* what;
  };
  const Kind kinds[] = {
      {kAccessInsideStart, kAccessViolation, "Unhandled exception"},
      {"on START crash-after 300\n", kAccessViolation, "Unhandled exception"},
      {"inside CREATE throw-through-callback\n", kAbort, "abort()"},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.script);
    HostDir dir;
    const Ending ending = Provoke(dir, kind.script);
    EXPECT_EQ(ending.exitCode, kind.code);
    EXPECT_TRUE(ending.pipesEnded);
    const std::uint32_t thread = RecordedThread(dir);
    ASSERT_NE(thread, 0u);

    const std::vector<std::string> log = dir.Log();
    std::smatch line;
    ASSERT_FALSE(log.empty());
    ASSERT_TRUE(std::regex_match(log.back(), line, kCrashLine)) << log.back();
    EXPECT_EQ(line[1], kind.what);
    EXPECT_EQ(line[2], Hex(kind.code));
    EXPECT_EQ(line[3], std::to_string(thread));
    EXPECT_EQ(line[5], std::to_string(ending.processId));
    const std::string dump = line[4];
    EXPECT_EQ(DumpsIn(dir), std::set<std::string>{dump});
    const std::optional<Dump> dumped = ReadDump(dir.Path() / dump);
    ASSERT_TRUE(dumped.has_value());
    EXPECT_EQ(dumped->exceptionThread, thread);
    EXPECT_EQ(dumped->exceptionCode, kind.code);

    EXPECT_EQ(DescribeHostExit(kind.code, ending.processId, dir.Path()),
              "host crashed with " + Hex(kind.code) + "; see " + dump);
  }
}

TEST(HostCrash, SixCrashesInARowLeaveTheFiveNewestDumps) {
  HostDir dir;
  std::vector<std::string> named;  // by each crash's log line, in order
  for (int crash = 0; crash < 6; ++crash) {
    SCOPED_TRACE(crash);
    ASSERT_EQ(Provoke(dir, kAccessInsideStart).exitCode, kAccessViolation);
    std::smatch line;
    const std::string last = dir.Log().back();
    ASSERT_TRUE(std::regex_match(last, line, kCrashLine)) << last;
    named.push_back(line[4]);
  }
  EXPECT_EQ(DumpsIn(dir), std::set<std::string>(named.begin() + 1, named.end()));
}

// Nothing written, not even a dump, and no dialog or debugger holding the host: it ends with
// the code at once.
TEST(HostCrash, WithLoggingOffOnlyTheExitCodeTells) {
  HostDir dir;
  fs::remove(dir.Path() / "lklogfile.txt");
  const Ending ending = Provoke(dir, kAccessInsideStart);
  EXPECT_EQ(ending.exitCode, kAccessViolation);
  EXPECT_TRUE(ending.pipesEnded);
  std::set<std::string> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.Path()))
    files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"LarkRemoteHost.exe", "LarkRemoteStreamer.dll",
                                          "LarkRemoteStreamer.sim", "LarkRemoteStreamer.calls"}));
  EXPECT_EQ(DescribeHostExit(kAccessViolation, ending.processId, dir.Path()),
            "host crashed with 0xC0000005; it left no minidump");
  EXPECT_EQ(DescribeHostExit(1, ending.processId, dir.Path()), "host exited with code 1");
}

// The host's "HangWatchdog" lines: a shutdown that did not finish, or a slow call.
const std::regex kHangLine(
    R"(\[HangWatchdog\] (Shutdown did not finish within 30 s \(0xC0000194 )"
    R"(STATUS_POSSIBLE_DEADLOCK\): )?(LKWINSDK_WEBRTC_[A-Z_]+) has run for ([0-9]+\.[0-9]) s on )"
    R"(thread ([0-9]+); minidump (LarkRemoteHost_[0-9]{8}_[0-9]{6}_([0-9]+)\.dmp))");

// The watchdog's 30 s, its dump (seconds under Wine) and a slow machine.
constexpr auto kHungExit = 60s;

struct HangLine {
  bool shutdown;
  std::string exportName;
  double seconds;
  std::uint32_t thread;
  std::string dump;
};

std::vector<HangLine> HangLines(const HostDir& dir) {
  std::vector<HangLine> lines;
  for (const std::string& text : dir.Log()) {
    std::smatch line;
    if (std::regex_match(text, line, kHangLine))
      lines.push_back({line[1].matched, line[2], std::stod(line[3]),
                       static_cast<std::uint32_t>(std::stoul(line[4])), line[5]});
  }
  return lines;
}

// The stand-in blocks DELETE for good; each way of asking the host to end still ends it, 30 s
// after the request, with its code, the line naming the stuck call and a dump holding its
// thread. The parent that vanished has its heartbeat fail: the host's own request.
TEST(HostHang, AShutdownStuckInTheEngineEndsTheHostWithALineAndADump) {
  struct Way {
    const char* name;
    const char* script;
    std::function<void(HostProcess&)> askToEnd;
    const char* stuck;
  };
  const Way ways[] = {
      {"Release", "block DELETE\n",
       [](HostProcess& host) {
         EXPECT_EQ(host.Connection().Call(LarkProtocol::kReleaseMethod, "")->body, "ok");
       },
       "LKWINSDK_WEBRTC_DELETE"},
      {"the parent gone while CREATE never returns", "block CREATE\n",
       [](HostProcess& host) { host.Connection().Close(); }, "LKWINSDK_WEBRTC_CREATE"},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    HostDir dir;
    dir.Script(way.script);
    std::unique_ptr<HostProcess> host = dir.Launch();
    ASSERT_TRUE(host);
    host->Connection().Start();
    std::future<std::string> info = lark::test::LarkInfoInBackground(host->Connection());
    ASSERT_TRUE(lark::test::Eventually([&] {
      return RecordedThread(dir, "BLOCKED") != 0 || info.wait_for(0s) == std::future_status::ready;
    }));
    way.askToEnd(*host);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kHungExit), kHostHungExitCode,
                                 lark::test::kHungEndLine));
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 29s);

    const std::vector<HangLine> lines = HangLines(dir);
    ASSERT_FALSE(lines.empty());
    const HangLine& last = lines.back();
    EXPECT_TRUE(last.shutdown);
    EXPECT_EQ(last.exportName, way.stuck);
    EXPECT_GE(last.seconds, 29.0);
    const std::uint32_t stuck = RecordedThread(dir, "BLOCKED");
    EXPECT_EQ(last.thread, stuck);
    const std::optional<Dump> dumped = ReadDump(dir.Path() / last.dump);
    ASSERT_TRUE(dumped.has_value());
    EXPECT_EQ(dumped->threads.count(stuck), 1u);
    EXPECT_EQ(DumpsIn(dir).count(last.dump), 1u);
  }
}

// A CREATE of 40 s: one line and one dump at 30 s, then the session goes on as if nothing had
// happened, and ends as usual.
TEST(HostHang, ASlowCallLeavesADiagnosisAndTheHostGoesOn) {
  HostDir dir;
  dir.Script("block CREATE 40000\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  ASSERT_TRUE(host);
  HostConnection& parent = host->Connection();
  parent.Start();
  const std::optional<CallResult> info =
      parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})", 90s);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->body, "ok");
  EXPECT_EQ(parent.Call(LarkProtocol::kIsRunMethod, "")->body, "true");
  EXPECT_EQ(parent.Call(LarkProtocol::kReleaseMethod, "")->body, "ok");
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kHungExit)));

  const std::vector<HangLine> lines = HangLines(dir);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_FALSE(lines[0].shutdown);
  EXPECT_EQ(lines[0].exportName, "LKWINSDK_WEBRTC_CREATE");
  EXPECT_EQ(lines[0].thread, RecordedThread(dir, "BLOCKED"));
  EXPECT_EQ(DumpsIn(dir), std::set<std::string>{lines[0].dump});
}

TEST(HostHang, WithLoggingOffOnlyTheExitCodeTells) {
  HostDir dir;
  fs::remove(dir.Path() / "lklogfile.txt");
  dir.Script("block DELETE\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  ASSERT_TRUE(host);
  host->Connection().Start();
  EXPECT_EQ(host->Connection().Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})")->body, "ok");
  EXPECT_EQ(host->Connection().Call(LarkProtocol::kReleaseMethod, "")->body, "ok");
  EXPECT_EQ(host->WaitForExit(kHungExit), kHostHungExitCode);
  std::set<std::string> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir.Path()))
    files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"LarkRemoteHost.exe", "LarkRemoteStreamer.dll",
                                          "LarkRemoteStreamer.sim", "LarkRemoteStreamer.calls"}));
}

// The kit's sure end against a host whose DELETE never returns: "Release" is answered, and the
// kit waits for the host's own end, 30 s later, rather than terminating it; it says why.
TEST(HostHang, TheKitsSureEndLeavesTheHostItsOwnEnd) {
  HostDir dir;
  dir.Script("block DELETE\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  ASSERT_TRUE(host);
  host->Connection().Start();
  EXPECT_EQ(host->Connection().Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})")->body, "ok");
  const HostEnding ending = host->End();
  EXPECT_EQ(ending.by, EndedBy::Release);
  ASSERT_EQ(ending.exitCode, kHostHungExitCode);
  const std::vector<HangLine> lines = HangLines(dir);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(host->DescribeExit(*ending.exitCode),
            "host ended itself after LKWINSDK_WEBRTC_DELETE did not return for 30 s; see " +
                lines.back().dump);
}

}  // namespace
}  // namespace LarkParent
