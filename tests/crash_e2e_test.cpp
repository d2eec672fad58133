// Crashes inside the real LarkRemoteHost.exe, provoked by the stand-in engine: what the host
// leaves behind and what its parent sees.

#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <set>
#include <string>

#include "parent/host_exit.h"
#include "parent/host_process.h"
#include "support/host_dir.h"

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
  std::unique_ptr<LarkParent::HostProcess> host = dir.Launch();
  if (!host) return {};
  LarkParent::HostConnection& parent = host->Connection();
  parent.Start();
  parent.Call("LarkInfo", R"({"hWnd":"1"})", kExit);
  parent.Call("Start", "1", kExit);
  Ending ending{host->ProcessId(), host->WaitForExit(kExit)};
  ending.pipesEnded = parent.WaitForHostEnds(10s);
  return ending;
}

std::string Hex(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

// The thread that a crash action of the stand-in was about to crash; 0 when none was.
std::uint32_t CrashedThread(const HostDir& dir) {
  std::uint32_t thread = 0;
  for (const std::string& call : dir.EngineCalls())
    if (call.rfind("CRASH\t", 0) == 0) thread = std::stoul(call.substr(6));
  return thread;
}

struct DumpedException {
  std::uint32_t threadId = 0;
  std::uint32_t code = 0;
};

// The faulting thread and the exception code a minidump holds; nullopt when the file does not
// begin with the minidump signature "MDMP" or holds no exception.
std::optional<DumpedException> ReadDump(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  const auto read = [&](std::size_t offset, auto& value) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof value) return false;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return true;
  };
  MINIDUMP_HEADER header;
  if (!bytes.starts_with("MDMP") || !read(0, header)) return std::nullopt;
  for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
    MINIDUMP_DIRECTORY entry;
    if (!read(header.StreamDirectoryRva + i * sizeof entry, entry)) return std::nullopt;
    MINIDUMP_EXCEPTION_STREAM stream;
    if (entry.StreamType == ExceptionStream && read(entry.Location.Rva, stream))
      return DumpedException{stream.ThreadId, stream.ExceptionRecord.ExceptionCode};
  }
  return std::nullopt;
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
    const std::uint32_t thread = CrashedThread(dir);
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
    const std::optional<DumpedException> dumped = ReadDump(dir.Path() / dump);
    ASSERT_TRUE(dumped.has_value());
    EXPECT_EQ(dumped->threadId, thread);
    EXPECT_EQ(dumped->code, kind.code);

    EXPECT_EQ(LarkParent::DescribeHostExit(kind.code, ending.processId, dir.Path()),
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
  EXPECT_EQ(LarkParent::DescribeHostExit(kAccessViolation, ending.processId, dir.Path()),
            "host crashed with 0xC0000005; it left no minidump");
  EXPECT_EQ(LarkParent::DescribeHostExit(1, ending.processId, dir.Path()),
            "host exited with code 1");
}

}  // namespace
