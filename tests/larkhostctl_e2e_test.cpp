// larkhostctl as a plug-in team runs it: against the real host with the stand-in engine.

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <sstream>

#include "parent/host_process.h"
#include "protocol/lark_protocol.h"
#include "rpc/wire.h"
#include "support/bin_directory.h"
#include "support/host_dir.h"
#include "support/host_session.h"
#include "support/tool_run.h"

namespace Larkhostctl {
namespace {

namespace fs = std::filesystem;
using lark::test::EngineCopy;
using lark::test::FileLines;
using lark::test::HostDir;
using lark::test::RunningTool;
using lark::test::ToolResult;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const char kExited0[] = "host exited with code 0 (a normal end)";

fs::path Write(const HostDir& dir, const std::string& name, const std::string& bytes) {
  std::ofstream(dir.Path() / name, std::ios::binary) << bytes;
  return dir.Path() / name;
}

ToolResult Larkhostctl(std::vector<std::string> arguments, const std::string& input = "") {
  return lark::test::RunTool(lark::test::BinDirectory() / "larkhostctl.exe", arguments, input);
}

// A session with the host of `dir`.
ToolResult Session(const HostDir& dir, std::vector<std::string> arguments,
                   const std::string& input = "") {
  arguments.insert(arguments.begin(),
                   {"--host", (dir.Path() / LarkProtocol::kHostExecutableName).string()});
  return Larkhostctl(arguments, input);
}

// The header of a capture's record: the pipe, microseconds since the launch, the frame's length.
std::string RecordHeader(int pipe, std::uint64_t time, std::uint32_t length) {
  std::string header(1, static_cast<char>(pipe));
  for (int i = 0; i < 8; ++i) header += static_cast<char>(time >> (8 * i));
  for (int i = 0; i < 4; ++i) header += static_cast<char>(length >> (8 * i));
  return header;
}

Lines Split(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The lines with the time since launch, the process id and the heartbeat count made constant.
Lines Normalised(const std::string& text) {
  Lines lines = Split(text);
  for (std::string& line : lines) {
    line = std::regex_replace(line, std::regex(R"(^\[ *\d+\.\d{3}\] )"), "[t] ");
    line = std::regex_replace(line, std::regex(R"((process|heartbeats:) \d+$)"), "$1 N");
  }
  return lines;
}

// The frames' lines and their hex dumps, without the session's own events.
Lines FrameLines(const std::string& text) {
  Lines frames;
  for (const std::string& line : Split(text))
    if (std::regex_search(line, std::regex(R"(^(\[ *[\d.]+\] (->|<-) |      [0-9a-f]{4} ))")))
      frames.push_back(line);
  return frames;
}

// Lines in groups whose order among themselves is free: what two threads print at once.
bool InGroups(const Lines& lines, std::vector<Lines> groups) {
  auto at = lines.begin();
  for (Lines& group : groups) {
    if (lines.end() - at < static_cast<std::ptrdiff_t>(group.size())) return false;
    Lines seen(at, at + static_cast<std::ptrdiff_t>(group.size()));
    std::sort(seen.begin(), seen.end());
    std::sort(group.begin(), group.end());
    if (seen != group) return false;
    at += static_cast<std::ptrdiff_t>(group.size());
  }
  return at == lines.end();
}

TEST(Larkhostctl, AScriptedSessionPrintsEveryFrameInOrder) {
  HostDir dir;
  dir.Script("on START data 7 hello\non START control ping\n");
  Write(dir, "session.json", R"({"hWnd":"1"})");
  const fs::path script = Write(dir, "session.txt",
                                "# payloads from files are read beside the script\n"
                                "call LarkInfo @session.json\n"
                                "\n"
                                "call Start 7\n"
                                "wait-notify 7\n"
                                "wait-call CefControl\n"
                                "call Reboot\n"
                                "call Release\n"
                                "wait-exit\n");
  const ToolResult result = Session(dir, {"-f", script.string()});
  EXPECT_EQ(result.exitCode, 1u);  // Reboot was refused
  EXPECT_EQ(result.err,
            "larkhostctl: call Reboot: answered MethodNotFound \"Method not found: Reboot\"\n");
  const Lines lines = Normalised(result.out);
  EXPECT_TRUE(InGroups(
      lines, {{"[t] started " + (dir.Path() / "LarkRemoteHost.exe").string() + ", process N"},
              {R"([t] -> request #1 LarkInfo "{"hWnd":"1"}")"},
              {R"([t] <- response #1 LarkInfo: Ok "ok")"},
              {R"([t] -> request #2 Start "7")"},
              {R"([t] <- response #2 Start: Ok "ok")", R"([t] <- notify 7 "hello")",
               R"([t] <- reverse-request #1 CefControl "ping")",
               R"([t] -> reverse-response #1 CefControl: Ok "ok")"},
              {R"([t] -> request #3 Reboot "")"},
              {R"([t] <- response #3 Reboot: MethodNotFound "Method not found: Reboot")"},
              {R"([t] -> request #4 Release "")"},
              {R"([t] <- response #4 Release: Ok "ok")"},
              {std::string("[t] ") + kExited0},
              {"[t] heartbeats: N"}}))
      << result.out;
}

// One JSON object a line, with the host's log interleaved in time order, from a script on
// standard input; the flag file is as it was afterwards.
TEST(Larkhostctl, JsonLinesWithTheLogInTimeOrder) {
  HostDir dir;
  const fs::path flags = Write(dir, "lklogfile.txt", "# logging off\n");
  const ToolResult result = Session(dir, {"--json", "--log"},
                                    "call LarkInfo {\"hWnd\":\"1\"}\ncall Release\nwait-exit\n");
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_EQ(result.err, "");
  std::vector<nlohmann::json> records;
  for (const std::string& line : Split(result.out)) {
    ASSERT_NO_THROW(records.push_back(nlohmann::json::parse(line))) << line;
  }
  ASSERT_FALSE(records.empty());
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_LE(records[i - 1].value("t", 0.0), records[i].value("t", 0.0)) << i;
  }
  const auto at = [&](const std::function<bool(const nlohmann::json&)>& match) {
    return static_cast<std::size_t>(std::find_if(records.begin(), records.end(), match) -
                                    records.begin());
  };
  const std::size_t request = at([](const nlohmann::json& r) {
    return r.value("pipe", "") == "request" && r.value("id", 0) == 1 &&
           r.value("method", "") == "LarkInfo";
  });
  const std::size_t logged = at([](const nlohmann::json& r) {
    return r.value("event", "") == "log" &&
           r.value("line", "").find("[HandleRemoteInfo] HandleRemoteInfo : {") != std::string::npos;
  });
  const std::size_t response = at([](const nlohmann::json& r) {
    return r.value("pipe", "") == "response" && r.value("id", 0) == 1 &&
           r.value("status", 1) == 0 && r.value("body", "") == "ok" &&
           r.value("method", "") == "LarkInfo";
  });
  const std::size_t exit = at([](const nlohmann::json& r) {
    return r.value("event", "") == "exit" && r.value("code", 1) == 0;
  });
  // The host logs a call before it answers it, and the log lines come in that order.
  EXPECT_LT(request, logged);
  EXPECT_LT(logged, response);
  EXPECT_LT(response, exit);
  EXPECT_LT(exit, records.size());
  EXPECT_EQ(records.back().value("event", ""), "heartbeats");
  EXPECT_EQ(FileLines(flags, "\n"), Lines{"# logging off"});
}

TEST(Larkhostctl, TheHostsTokenRequestIsAnsweredAsTold) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::string answer;  // the reverse-response line; empty: none
    std::string buffer;  // how the engine's buffer starts afterwards
  };
  const std::string untouched = "abababababababab";
  const std::string noToken =
      "-> reverse-response #1 GetJWT: HandlerError \"larkhostctl has no token to give: start it "
      "with --jwt TOKEN or --jwt-file FILE\"";
  const Case cases[] = {
      {"--jwt-file",
       {"--jwt-file", "token.txt"},
       "-> reverse-response #1 GetJWT: Ok \"tok-file\"",
       "746f6b2d66696c65abab"},  // the token's bytes, then the fill
      {"no token", {}, noToken, untouched},
      {"--no-answer",
       {"--no-answer", LarkProtocol::kGetJwtMethod},
       "",
       untouched},  // the host's call times out
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostDir dir;
    dir.Script("on START request 65281 1024\n");
    const fs::path session = Write(dir, "session.json", R"({"hWnd":"1"})");
    std::vector<std::string> arguments = c.options;
    if (!arguments.empty() && arguments[0] == "--jwt-file")
      arguments[1] = Write(dir, "token.txt", "tok-file\r\n").string();
    for (const char* command : {"call Start 1", "wait-call GetJWT", "call Release", "wait-exit"})
      arguments.push_back(command);
    arguments.insert(arguments.end() - 4, "call LarkInfo @" + session.string());
    const ToolResult result = Session(dir, arguments);
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    Lines answers;
    for (const std::string& line : Normalised(result.out))
      if (line.find("reverse-response") != std::string::npos) answers.push_back(line.substr(4));
    EXPECT_EQ(answers, c.answer.empty() ? Lines{} : Lines{c.answer});
    const Lines calls = dir.EngineCalls();
    const auto token = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
      return call.rfind("TOKEN_BUFFER\t1024\t", 0) == 0;
    });
    ASSERT_NE(token, calls.end());
    EXPECT_EQ(token->substr(18, c.buffer.size()), c.buffer);
  }
}

TEST(Larkhostctl, FailuresEndWithOneLineOnStandardError) {
  HostDir dir;
  HostDir noEngine(EngineCopy::Missing);
  HostDir refusing;
  const fs::path script = Write(dir, "typo.txt", "call IsRun\ncal IsRun\n");
  const std::string missing = (dir.Path() / "Missing.exe").string();
  const fs::path text = Write(dir, "Text.exe", "not a program");
  // Without the stand-in engine beside it, the demo has none to copy.
  const fs::path lonely = noEngine.Path() / "larkhostctl.exe";
  fs::copy_file(lark::test::BinDirectory() / "larkhostctl.exe", lonely);
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::uint32_t exitCode;
    std::string err;  // how the line starts
    fs::path program = lark::test::BinDirectory() / "larkhostctl.exe";
  };
  const Case cases[] = {
      {"a bad command",
       {"--host", (dir.Path() / LarkProtocol::kHostExecutableName).string(), "-f", script.string()},
       2,
       "larkhostctl: " + script.string() + ":2: unknown command \"cal\" (help lists them)\n"},
      {"a missing host",
       {"--host", missing, "call IsRun"},
       1,
       "larkhostctl: cannot start the host: no host executable at " + missing + "\n"},
      {"a host without its engine",
       {"--host", (noEngine.Path() / LarkProtocol::kHostExecutableName).string(), "call IsRun"},
       1,
       "larkhostctl: host ended early with exit code 1 (start-up failed: the engine library is "
       "missing or incomplete, or the pipe handles or the window could not be had); run again "
       "with --log to see why: the host's last log line names the cause\n"},
      {"no program",
       {"--host", text.string(), "call IsRun"},
       1,
       "larkhostctl: cannot start the host: CreateProcessW failed : 193 (" + text.string() +
           " is not a Windows x64 program)\n"},
      {"a refused call, asked to fail on it",
       {"--host", (refusing.Path() / "LarkRemoteHost.exe").string(), "--fail-on-refusal",
        "call Start 7"},
       3,
       "larkhostctl: call Start 7: refused \"error:not_initialized\"; Start needs an engine "
       "instance: call LarkInfo first\n"},
      {"an exception", {"demo"}, 1, "larkhostctl: filesystem error: cannot copy file: ", lonely},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult result = lark::test::RunTool(c.program, c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(result.err.substr(0, c.err.size()), c.err);
    EXPECT_TRUE(result.err.ends_with('\n') &&
                std::count(result.err.begin(), result.err.end(), '\n') == 1)
        << result.err;
  }
  EXPECT_EQ(dir.Log(), Lines{});  // the typo was found before any host started
}

TEST(Larkhostctl, ACaptureDecodesIntoTheLinesTheSessionPrinted) {
  HostDir dir;
  dir.Script("on START data 7 hello\non START control ping\n");
  const fs::path capture = dir.Path() / "session.cap";
  const ToolResult session = Session(
      dir, {"--trace", "--capture", capture.string(),
            "call LarkInfo @" + Write(dir, "session.json", R"({"hWnd":"1"})").string(),
            "call Start 7", "wait-notify 7", "wait-call CefControl", "call Release", "wait-exit"});
  EXPECT_EQ(session.err, "");
  const ToolResult decoded = Larkhostctl({"decode", capture.string(), "--trace"});
  EXPECT_EQ(decoded.exitCode, 0u) << decoded.err;
  EXPECT_EQ(FrameLines(decoded.out), FrameLines(session.out));
  EXPECT_GE(FrameLines(decoded.out).size(), 20u);  // 8 frames, each with its dump

  // Cut in the middle of the last record: every frame before it, then where the file ends.
  const Lines whole = FrameLines(Larkhostctl({"decode", capture.string(), "--heartbeats"}).out);
  std::ifstream in(capture, std::ios::binary);
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  in.close();
  std::size_t last = 8;  // after "LARKCAP1"; a record: pipe, time, length, bytes
  std::uint32_t length = 0;
  for (std::size_t at = last; at < bytes.size(); at += 13 + length) {
    last = at;
    std::memcpy(&length, bytes.data() + at + 9, 4);
  }
  const std::size_t kept = 13 + length / 2;
  std::ofstream(capture, std::ios::binary | std::ios::trunc) << bytes.substr(0, last + kept);
  const ToolResult cut = Larkhostctl({"decode", capture.string(), "--heartbeats"});
  EXPECT_EQ(cut.exitCode, 1u);
  EXPECT_EQ(cut.err, "larkhostctl: " + capture.string() + ": offset " + std::to_string(last) +
                         ": the capture ends inside a record, " + std::to_string(kept) + " of " +
                         std::to_string(13 + length) + " bytes\n");
  EXPECT_EQ(FrameLines(cut.out), Lines(whole.begin(), whole.end() - 1));

  // One pipe's bytes as hex text, the second frame with a wrong magic.
  const fs::path stream = Write(dir, "request.hex",
                                "41524551 07000000 05000000 00000000 4973 52756e\n"  // IsRun, id 7
                                "41 52 45 58" +
                                    std::string(24, '0'));
  const ToolResult raw = Larkhostctl({"decode", stream.string(), "--pipe", "request"});
  EXPECT_EQ(raw.exitCode, 1u);
  EXPECT_EQ(Split(raw.out).at(0), R"(-> request #7 IsRun "")");
  EXPECT_EQ(raw.err,
            "larkhostctl: " + stream.string() +
                ": offset 21: bad magic 41 52 45 58; a request frame starts with \"AREQ\"\n");
}

// Files no session writes: a field above the limit, the latest time a capture holds, a capture
// larger than the memory (read a piece at a time, it ends at its first fault).
TEST(Larkhostctl, DecodeCopesWithFilesNoSessionWrites) {
  lark::test::TempDir dir("larkhostctl-");
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
  const std::string note = AnonRpc::EncodeNotification("7", "hi");
  const std::string tooLong("ANTY\x40\x4b\x4c\x00\x03\x00\x00\x00", 12);  // lengths 5000000, 3
  const auto length = static_cast<std::uint32_t>(note.size());
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::string bytes;
    std::uint64_t size;  // past the bytes a hole that reads as zeros
    std::uint32_t exitCode;
    Lines out;
    std::string err;  // after the file's name
  };
  const Case cases[] = {
      {"a type length above the limit",
       {"--pipe", "notify"},
       tooLong,
       tooLong.size(),
       1,
       {"heartbeats: 0"},
       ": offset 0: type length 5000000 is above the limit of 4194304 bytes\n"},
      {"the latest time",
       {},
       "LARKCAP1" + RecordHeader(4, UINT64_MAX, length) + note,
       8 + 13 + length,
       0,
       {R"([18446744073709.552] <- notify 7 "hi")", "heartbeats: 0"},
       ""},
      {"larger than the memory",
       {},
       "LARKCAP1" + RecordHeader(4, 1500, length) + note + RecordHeader(4, 2000, 0xffffffff),
       2 * memory.ullTotalPhys,
       1,
       {R"([    0.002] <- notify 7 "hi")", "heartbeats: 0"},
       ": notify pipe, offset 15: bad magic 00 00 00 00; a notification frame starts with "
       "\"ANTY\"\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir.Path() / "frames.bin";
    {
      std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes;
      // Sparse where the file system can, so that the hole takes no disk.
      const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
      DWORD ignored = 0;
      DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
      CloseHandle(handle);
      fs::resize_file(file, c.size);
    }
    std::vector<std::string> arguments = {"decode", file.string()};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const ToolResult result = Larkhostctl(arguments);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(Split(result.out), c.out);
    EXPECT_EQ(result.err, c.err.empty() ? "" : "larkhostctl: " + file.string() + c.err);
  }
}

// A run following the log that is interrupted gives the flag file back at once; one that is
// killed cannot, and the next run in its folder does, before its host starts.
TEST(Larkhostctl, AnInterruptedLogRunGivesTheFlagFileBack) {
  for (const bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "killed" : "Ctrl-C");
    HostDir dir;
    const fs::path flags = Write(dir, "lklogfile.txt", "# logging off\n");
    const fs::path backup = dir.Path() / "lklogfile.txt.larkhostctl";
    DWORD host = 0;
    {
      RunningTool run(lark::test::BinDirectory() / "larkhostctl.exe",
                      {"--host", (dir.Path() / LarkProtocol::kHostExecutableName).string(), "--log",
                       "wait-notify never 60s"},
                      "", true);
      host = std::stoul("0" + run.WaitForOutput(std::regex(R"(process (\d+)\n)"), 60s));
      ASSERT_NE(host, 0u);
      EXPECT_EQ(FileLines(flags, "\n"), Lines{"logfile_on"});
      EXPECT_TRUE(fs::exists(backup));
      if (kill)
        run.Kill();
      else
        run.Interrupt();
      run.Finish(60s);
    }
    EXPECT_EQ(FileLines(flags, "\n"), kill ? Lines{"logfile_on"} : Lines{"# logging off"});
    EXPECT_EQ(fs::exists(backup), kill);
    // Its host would end at its next heartbeat, finding no parent.
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, host);
    ASSERT_NE(process, nullptr);
    TerminateProcess(process, 1);
    EXPECT_EQ(WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
    CloseHandle(process);
    if (!kill) continue;
    dir.ClearLog();
    const ToolResult next = Session(dir, {"call IsRun"});
    EXPECT_EQ(next.exitCode, 0u) << next.err;
    EXPECT_EQ(FileLines(flags, "\n"), Lines{"# logging off"});
    EXPECT_FALSE(fs::exists(backup));
    EXPECT_EQ(dir.Log(), Lines{});  // its host found logging off
  }
}

// A host launched by another program, started and answering.
const char kStartTime[] = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";

TEST(Larkhostctl, ASecondHostSaysWhichProcessHoldsTheSession) {
  HostDir first;
  HostDir second;
  const std::unique_ptr<LarkParent::HostProcess> running = first.LaunchAnswering();
  ASSERT_NE(running, nullptr);
  const ToolResult result = Session(second, {"call IsRun"});
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_TRUE(std::regex_match(
      result.err,
      std::regex("larkhostctl: host ended early with exit code 0 \\(another host "
                 "holds the session: process " +
                 std::to_string(running->ProcessId()) + ", started " + kStartTime + "\\)\n")))
      << result.err;
}

// "stop" asks with WM_CLOSE, and terminates a host that does not see it: one whose engine never
// returns from START, which is its main thread.
TEST(Larkhostctl, HostsListsTheSessionsHostsAndStopEndsOne) {
  HostDir dir;
  std::unique_ptr<LarkParent::HostProcess> host = dir.LaunchAnswering();
  ASSERT_NE(host, nullptr);
  const std::string process = "process " + std::to_string(host->ProcessId());
  ToolResult result = Larkhostctl({"hosts"});
  EXPECT_EQ(result.exitCode, 0u);
  EXPECT_TRUE(std::regex_match(result.out, std::regex(process + ", started " + kStartTime + "\n")))
      << result.out;

  result = Larkhostctl({"stop", std::to_string(host->ProcessId())});
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  EXPECT_EQ(result.out,
            process + " ended after WM_CLOSE with " + std::string(kExited0).substr(17) + "\n");
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(std::chrono::seconds(30))));
  result = Larkhostctl({"hosts"});
  EXPECT_EQ(result.out, "no host runs in this session\n");

  HostDir stuck;
  stuck.Script("hold START\n");
  host = stuck.LaunchAnswering();
  ASSERT_NE(host, nullptr);
  ASSERT_TRUE(
      host->Connection().Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})").has_value());
  auto start = std::async(std::launch::async,
                          [&] { return host->Connection().Call(LarkProtocol::kStartMethod, "1"); });
  ASSERT_TRUE(lark::test::Eventually([&] {
    const Lines calls = stuck.EngineCalls();
    return std::find(calls.begin(), calls.end(), "START\t1\t1") != calls.end();
  }));
  result = Larkhostctl({"stop", std::to_string(host->ProcessId()), "--wait", "1s"});
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  EXPECT_EQ(result.out, "process " + std::to_string(host->ProcessId()) +
                            " did not exit within 1s of WM_CLOSE: terminated, code 57005 "
                            "(terminated by larkhostctl)\n");
  EXPECT_FALSE(start.get().has_value());

  result = Larkhostctl({"stop", std::to_string(GetCurrentProcessId())});
  EXPECT_EQ(result.exitCode, 1u);
  EXPECT_EQ(result.err, "larkhostctl: stop: process " + std::to_string(GetCurrentProcessId()) +
                            " does not run LarkRemoteHost.exe\n");
}

}  // namespace
}  // namespace Larkhostctl
