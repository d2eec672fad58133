// The real LarkRemoteHost.exe, started through the parent kit with the stand-in engine beside it.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <regex>
#include <thread>

#include "parent/host_process.h"
#include "protocol/lark_protocol.h"
#include "rpc/wire.h"
#include "support/bounded.h"
#include "support/host_connection_test_peer.h"
#include "support/host_dir.h"
#include "support/host_session.h"
#include "win/unique_handle.h"

namespace LarkParent {
namespace {

using lark::test::CallNames;
using lark::test::EngineCopy;
using lark::test::Eventually;
using lark::test::HostDir;
using lark::test::HostWindow;
using lark::test::Inbox;
using lark::test::InOrder;
using lark::test::LarkInfoInBackground;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr auto kExit = 30s;

std::wstring Wide(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// The six handle values as decimal texts, with some replaced.
std::function<std::vector<std::wstring>(const AnonRpc::PipeHandles&)> HandlesWith(
    std::vector<std::pair<int, std::string>> replacements) {
  return [replacements](const AnonRpc::PipeHandles& h) {
    std::vector<std::wstring> args;
    for (AnonRpc::PipeHandle value :
         {h.fwdReqRead, h.fwdReqWrite, h.fwdResWrite, h.revReqWrite, h.revResRead, h.ntyWrite})
      args.push_back(std::to_wstring(value));
    for (const auto& [index, text] : replacements) args[index - 1] = Wide(text);
    return args;
  };
}

constexpr char kMutexLine[] = "[AcquireSingleInstanceMutex] Single instance mutex acquired";

// A host whose engine is inside START, held there until the script lets it go. The parent's
// "Start" is answered, or cut off by the exit; on a failed assertion its time-out ends the wait.
struct HeldInStart {
  void Begin() {
    dir.Script("hold START\n");
    host = dir.Launch();
    ASSERT_TRUE(host);
    LarkParent::HostConnection& parent = host->Connection();
    parent.Start();
    ASSERT_TRUE(parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})").has_value());
    start = std::async(std::launch::async,
                       [&parent] { return parent.Call(LarkProtocol::kStartMethod, "1"); });
    ASSERT_TRUE(Eventually([&] { return InOrder(dir.EngineCalls(), {"START\t1\t1"}); }));
  }

  HostDir dir;
  std::unique_ptr<HostProcess> host;
  std::future<std::optional<CallResult>> start;
};

TEST(HostStartup, BadCommandLinesEndWithTheirExitCodesAndMessages) {
  HostDir dir;
  struct Case {
    const char* name;
    std::function<std::vector<std::wstring>(const AnonRpc::PipeHandles&)> arguments;
    std::uint32_t exitCode;
    Lines log;
  };
  const std::string abort = "[WinMain] Invalid pipe handles from cmdline; aborting";
  const std::string tag = "[WinMain::<lambda_1>::operator ()] ";
  const Case cases[] = {
      {"no arguments",
       [](const AnonRpc::PipeHandles&) { return std::vector<std::wstring>(); },
       0,
       {kMutexLine, "[WinMain] No PIPE Handle included"}},
      {"zero and 12x",
       HandlesWith({{2, "0"}, {5, "12x"}}),
       1,
       {kMutexLine, tag + "Zero handle arg for fwdReqWrite",
        tag + "Invalid handle arg for revResRead : 12x", abort}},
      {"empty",
       HandlesWith({{6, ""}}),
       1,
       {kMutexLine, tag + "Empty handle arg for ntyWrite", abort}},
      {"the sentinel", HandlesWith({{1, "18446744073709551615"}}), 1, {kMutexLine, abort}},
      {"too large",
       HandlesWith({{3, "99999999999999999999"}}),
       1,
       {kMutexLine, tag + "Invalid handle arg for fwdResWrite : 99999999999999999999", abort}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dir.ClearLog();
    std::unique_ptr<HostProcess> host = dir.Launch(c.arguments);
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->WaitForExit(kExit), c.exitCode);
    EXPECT_EQ(dir.Log(), c.log);
  }
}

TEST(HostStartup, AnEngineMissingOrLackingExportsEndsWithOne) {
  {
    HostDir dir(EngineCopy::Missing);
    std::unique_ptr<HostProcess> host = dir.Launch();
    host->Connection().Start();
    EXPECT_FALSE(
        host->Connection().Call(LarkProtocol::kIsRunMethod, "", 20s).has_value());  // never served
    EXPECT_EQ(host->WaitForExit(kExit), 1u);
    EXPECT_EQ(dir.Log(), (Lines{kMutexLine, "[LoadDll] LoadLibraryW failed : 126",
                                "[WinMain] LarkRemoteStreamer.dll load failed"}));
  }
  {
    HostDir dir(EngineCopy::LackingTwoExports);
    std::unique_ptr<HostProcess> host = dir.Launch();
    EXPECT_EQ(host->WaitForExit(kExit), 1u);
    const std::string tag = "[LoadDll::<lambda_1>::operator ()] GetProcAddress failed : ";
    EXPECT_EQ(dir.Log(),
              (Lines{kMutexLine, tag + "LKWINSDK_WEBRTC_OPEN", tag + "LKWINSDK_WEBRTC_CEF_INPUT",
                     "[WinMain] LarkRemoteStreamer.dll load failed"}));
  }
}

TEST(HostLifecycle, ReleaseAnswersOkThenTheHostExitsWithZero) {
  HostDir dir;
  std::unique_ptr<HostProcess> host = dir.Launch();
  host->Connection().Start();
  const std::optional<CallResult> unknown = host->Connection().Call("Reboot", "");
  ASSERT_TRUE(unknown.has_value());
  EXPECT_EQ(unknown->status, 1u);
  EXPECT_EQ(unknown->body, "Method not found: Reboot");
  const std::optional<CallResult> release =
      host->Connection().Call(LarkProtocol::kReleaseMethod, "any payload");
  ASSERT_TRUE(release.has_value());
  EXPECT_EQ(release->status, 0u);
  EXPECT_EQ(release->body, "ok");
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kExit)));
  EXPECT_TRUE(InOrder(dir.Log(), {kMutexLine, "[WinMain] LarkRemoteStreamer.dll load success",
                                  "[WinMain] RPC child started", "[WinMain] Heartbeat started",
                                  "[WinMain] Shutting down", "[WinMain] Exit"}));
  EXPECT_EQ(dir.EngineCalls(), (Lines{"RELEASE"}));  // no instance was ever created
}

TEST(HostLifecycle, ASecondHostWhileTheFirstRunsExitsWithZero) {
  HostDir first;
  HostDir second;
  std::unique_ptr<HostProcess> running = first.LaunchAnswering();  // certainly up
  ASSERT_TRUE(running);
  std::unique_ptr<HostProcess> duplicate = second.Launch();
  EXPECT_EQ(duplicate->WaitForExit(kExit), 0u);
  EXPECT_EQ(second.Log(), (Lines{"[AcquireSingleInstanceMutex] Another instance is already running",
                                 "[WinMain] Exit: duplicate instance"}));
  // The kit names the host that holds the session.
  const std::string described = duplicate->DescribeExit(0);
  EXPECT_TRUE(std::regex_match(
      described, std::regex("host exited with code 0: another host holds the session: process " +
                            std::to_string(running->ProcessId()) +
                            R"(, started \d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
      << described;
  ASSERT_TRUE(running->Connection().Call(LarkProtocol::kReleaseMethod, "").has_value());
  EXPECT_EQ(running->WaitForExit(kExit), 0u);
  EXPECT_EQ(running->DescribeExit(0), "host exited with code 0");
}

// The sure end: a healthy host is released; one whose engine never returns from START (its
// main thread stuck, so WM_CLOSE is never seen) is terminated once both bounds have passed.
TEST(HostLifecycle, EndReleasesAHealthyHostAndTerminatesAStuckOne) {
  {
    HostDir dir;
    std::unique_ptr<HostProcess> host = dir.LaunchAnswering();
    ASSERT_TRUE(host);
    HostEnding ending;
    lark::test::ReturnsWithin(
        120s, [&] { ending = host->End(); }, "HostProcess::End");
    EXPECT_EQ(ending.by, EndedBy::Release);
    EXPECT_TRUE(dir.EndedInOrder(ending.exitCode));
  }
  HeldInStart held;
  ASSERT_NO_FATAL_FAILURE(held.Begin());
  HostEnding ending;
  lark::test::ReturnsWithin(
      60s,
      [&] {
        ending = held.host->End({2s, 2s});
      },
      "HostProcess::End");
  EXPECT_EQ(ending.by, EndedBy::Termination);
  EXPECT_EQ(ending.exitCode, std::optional<std::uint32_t>(HostProcess::kTerminatedExitCode));
  EXPECT_FALSE(held.start.get().has_value());
}

TEST(HostLifecycle, WmCloseFromAnotherProcessEndsTheHostLikeRelease) {
  HostDir dir;
  std::unique_ptr<HostProcess> host = dir.LaunchAnswering();
  ASSERT_TRUE(host);
  HWND window = HostWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));
  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kExit)));
  EXPECT_EQ(dir.EngineCalls(), (Lines{"RELEASE"}));
}

// Heartbeats keep coming while the parent's request pipe is closed; closing the notification
// pipe ends the host within about one period.
TEST(HostLifecycle, HeartbeatsEveryThreeSecondsUntilTheNotificationPipeCloses) {
  HostDir dir;
  std::unique_ptr<HostProcess> host = dir.Launch();
  Inbox inbox;
  inbox.Attach(host->Connection());
  HostConnectionTestPeer(host->Connection()).CloseRequestPipe();
  ASSERT_TRUE(inbox.WaitUntil([&] { return inbox.notes.size() >= 3; }));
  {
    std::lock_guard lock(inbox.mutex);
    for (const auto& [when, note] : inbox.notes)
      EXPECT_EQ(AnonRpc::EncodeNotification(note.type, note.payload),
                std::string("ANTY\1\0\0\0\0\0\0\0"
                            "2",
                            13));
    // Ticks are at least a period apart; their delivery may jitter by a little.
    const auto span = inbox.notes.back().first - inbox.notes.front().first;
    EXPECT_GE(span, (inbox.notes.size() - 1) * 3s - 1s);
  }
  HostConnectionTestPeer(host->Connection()).CloseNotifyPipe();
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kExit)));
  EXPECT_TRUE(InOrder(dir.Log(), {"[WinMain::<lambda_2>::operator ()] notify pipe broken, "
                                  "requesting shutdown",
                                  "[WinMain] Shutting down", "[WinMain] Exit"}));
}

TEST(EngineSession, AWholeSessionAgainstTheStandIn) {
  HostDir dir;
  dir.Script(
      "on START data 7 hi\n"
      "on START data -3 \\u0141x\n"
      "on START control hello\n"
      "on OPEN request 65281 1024\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  Inbox inbox;
  inbox.Attach(host->Connection(), Inbox::HostAnswers("tok-123"));
  HostConnection& parent = host->Connection();
  const auto call = [&](const char* method, const std::string& payload) {
    const std::optional<CallResult> result = parent.Call(method, payload);
    EXPECT_TRUE(result.has_value()) << method;
    return result ? std::to_string(result->status) + " " + result->body : "no answer";
  };

  EXPECT_EQ(call(LarkProtocol::kStartMethod, "1"), "0 error:not_initialized");
  const std::string info =
      R"({"hWnd":"1234","appID":"app","accountId":"acc","did":"dev","session":"ses",)"
      R"("language":"en","serverId":"srv","country":"cc","accessToken":"bearer-secret"})";
  EXPECT_EQ(call(LarkProtocol::kLarkInfoMethod, info), "0 ok");
  EXPECT_EQ(call(LarkProtocol::kStartMethod, "abc"), "3 invalid stoi argument");
  EXPECT_EQ(call(LarkProtocol::kStartMethod, "3000000000"), "3 stoi argument out of range");
  EXPECT_EQ(call(LarkProtocol::kStartMethod, "7"), "0 ok");
  EXPECT_EQ(call(LarkProtocol::kEnableControlMethod, "true"), "0 true");
  EXPECT_EQ(call(LarkProtocol::kEnableCefMethod, "TRUE"), "0 true");
  EXPECT_EQ(call(LarkProtocol::kOpenUrlMethod, "https://example.test/"), "0 true");
  EXPECT_EQ(call(LarkProtocol::kIsRunMethod, ""), "0 true");
  ASSERT_TRUE(
      inbox.WaitUntil([&] { return inbox.reverseCalls.size() >= 2 && inbox.notes.size() >= 2; }));
  EXPECT_EQ(call(LarkProtocol::kEndMethod, ""), "0 ok");
  EXPECT_EQ(call(LarkProtocol::kEndMethod, ""), "0 ok");
  EXPECT_EQ(call(LarkProtocol::kIsRunMethod, ""), "0 false");
  EXPECT_EQ(call(LarkProtocol::kReleaseMethod, ""), "0 ok");
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kExit)));

  Lines events = inbox.Events();
  std::sort(events.begin(), events.end());  // from two engine threads
  EXPECT_EQ(events, (Lines{"-3 Ax", "7 hi"}));
  Lines reverse = inbox.reverseCalls;
  std::sort(reverse.begin(), reverse.end());
  EXPECT_EQ(reverse, (Lines{"CefControl hello", "GetJWT"}));

  const Lines calls = dir.EngineCalls();
  const auto find = [&](const std::string& prefix) {
    return std::count_if(calls.begin(), calls.end(),
                         [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
  };
  EXPECT_EQ(find("CREATE\t"), 1);
  EXPECT_EQ(find("LARK_INFO\t1\tapp\tacc\tdev\tses\ten\tsrv\tcc\tbearer-secret"), 1);
  EXPECT_EQ(find("START\t1\t7"), 1);
  EXPECT_EQ(find("ENABLE_CONTROL\t1\t1"), 1);
  EXPECT_EQ(find("CEF_INPUT\t1\t0"), 1);
  EXPECT_EQ(find("OPEN\t1\thttps://example.test/"), 1);
  EXPECT_EQ(find("DELETE\t1"), 1);
  EXPECT_EQ(find("RELEASE"), 1);
  // The token, then the untouched fill: the host wrote nothing more.
  std::string hexToken;
  for (unsigned char c : std::string("tok-123")) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", c);
    hexToken += digits;
  }
  EXPECT_EQ(find("TOKEN_BUFFER\t1024\t" + hexToken + "abababab"), 1);

  const Lines log = dir.Log();
  for (const std::string& line : log) EXPECT_EQ(line.find("bearer-secret"), std::string::npos);
  EXPECT_TRUE(InOrder(log, {"[HandleRemoteStart] Start : 7",
                            "[HandleRemoteEnableControl] HandleRemoteEnableControl : true",
                            "[HandleCefEnableControl] HandleCefEnableControl : false"}));
  EXPECT_TRUE(InOrder(
      log, {"[DllControlIpcCallback] [ctl-ipc] 3) DllControlIpcCallback entry len=5",
            "[DllControlIpcCallback] [ctl-ipc] 4) AsyncCallParent queued method=CefControl"}));
}

// A window-closing request while START runs: the main thread waits for START to end, and START
// sends the host window a message before it ends. The wait must answer that message.
TEST(EngineSession, ShutdownWaitsForAnEngineCallThatMessagesTheWindow) {
  HeldInStart held;
  ASSERT_NO_FATAL_FAILURE(held.Begin());
  const HostDir& dir = held.dir;
  HWND window = HostWindow();
  ASSERT_NE(window, nullptr);
  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(
      Eventually([&] { return InOrder(dir.Log(), {"[TeardownEngine] Engine busy, waiting"}); }));
  dir.Script("");  // START now messages the window and returns
  EXPECT_TRUE(dir.EndedInOrder(held.host->WaitForExit(kExit)));
  held.start.wait();
  EXPECT_TRUE(InOrder(dir.EngineCalls(), {"START\t1\t1", "DELETE\t1", "RELEASE"}));
}

// The engine keeps calling back while the parent releases the host: it still ends cleanly.
TEST(EngineSession, CallbacksFiringDuringShutdown) {
  HostDir dir;
  dir.Script(
      "on START burst 20000 7 x\n"
      "on START request 65281 1024\n"
      "on START control busy\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  Inbox inbox;
  inbox.Attach(host->Connection());
  HostConnection& parent = host->Connection();
  ASSERT_TRUE(parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})").has_value());
  ASSERT_TRUE(parent.Call(LarkProtocol::kStartMethod, "1").has_value());
  ASSERT_TRUE(parent.Call(LarkProtocol::kReleaseMethod, "").has_value());
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kExit)));
}

// The parent refuses a frame with a field above the limit and reads that pipe no more: an event
// or a control text that large never leaves the host, and what comes after it does.
TEST(EngineSession, AnEventAndAControlTextAboveTheFieldLimitStayInTheHost) {
  HostDir dir;
  const std::string above = std::to_string(AnonRpc::kMaxFieldBytes + 1);
  dir.Script("inside START data-sized 9 " + above + "\ninside ISRUN data 7 small\n" +
             "inside OPEN controls 1 " + above + "\ninside OPEN control after\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  Inbox inbox;
  inbox.Attach(host->Connection());
  HostConnection& parent = host->Connection();
  ASSERT_TRUE(parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})").has_value());
  ASSERT_TRUE(parent.Call(LarkProtocol::kStartMethod, "1").has_value());
  ASSERT_TRUE(parent.Call(LarkProtocol::kIsRunMethod, "").has_value());
  // The small event, then a heartbeat after it.
  EXPECT_TRUE(inbox.WaitUntil([&] {
    bool small = false;
    for (const auto& [when, note] : inbox.notes) {
      if (small && note.type == "2") return true;
      small = small || (note.type == "7" && note.payload == "small");
    }
    return false;
  }));
  ASSERT_TRUE(parent.Call(LarkProtocol::kOpenUrlMethod, "u").has_value());
  EXPECT_TRUE(inbox.WaitUntil([&] { return !inbox.reverseCalls.empty(); }));
  ASSERT_TRUE(parent.Call(LarkProtocol::kReleaseMethod, "").has_value());
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kExit)));

  EXPECT_EQ(inbox.Events(), (Lines{"7 small"}));
  EXPECT_EQ(inbox.reverseCalls, (Lines{"CefControl after"}));
  const std::string control = "[DllControlIpcCallback] [ctl-ipc] ";
  const Lines log = dir.Log();
  EXPECT_TRUE(
      InOrder(log, {"[AnonRpc::NotifySender::Enqueue] NotifySender notification too large, dropped "
                    "(type=9, payload=" +
                        above + " bytes, total=1)",
                    control + "3) DllControlIpcCallback entry len=" + above,
                    control + "4x) AsyncCallParent exception: Payload too large",
                    control + "3) DllControlIpcCallback entry len=5",
                    control + "4) AsyncCallParent queued method=CefControl",
                    "[AnonRpc::NotifySender::Stop] NotifySender total dropped during session: 1"}));
}

// The host ends, whatever the parent, the engine and the rest of the desktop do meanwhile.

// A parent that has stopped reading the host's calls while START sends it more than the pipe
// holds: the window-closing request must not wait out the call's time-out, let alone for ever.
TEST(HostEnds, WmCloseWhileStartWritesAControlTextTheParentNeverReads) {
  HostDir dir;
  dir.Script("inside START controls 1 1048576\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  HostConnection& parent = host->Connection();
  HostConnectionTestPeer(parent).PauseReverseCalls(true);
  parent.Start();
  ASSERT_TRUE(parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})").has_value());
  auto start =
      std::async(std::launch::async, [&] { return parent.Call(LarkProtocol::kStartMethod, "1"); });
  ASSERT_TRUE(Eventually([&] {
    return InOrder(
        dir.Log(),
        {"[DllControlIpcCallback] [ctl-ipc] 3) DllControlIpcCallback entry len=1048576"});
  }));
  PostMessageW(HostWindow(), WM_CLOSE, 0, 0);
  const auto closed = std::chrono::steady_clock::now();
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kExit)));
  EXPECT_LT(std::chrono::steady_clock::now() - closed, 8s);  // not the call's 10 s
  start.wait();
  EXPECT_TRUE(InOrder(dir.EngineCalls(), {"START\t1\t1", "DELETE\t1", "RELEASE"}));
}

// Whether a pump directive of the stand-in has dispatched the message.
bool Pumped(const HostDir& dir, UINT message) {
  return Eventually(
      [&] { return InOrder(dir.EngineCalls(), {"PUMPED\t" + std::to_string(message)}); });
}

// A session from "LarkInfo" to the end, each engine call made once.
const Lines kEachCallOnce = {
    "CREATE", "LARK_INFO", "CALLBACK_REQUEST", "CALLBACK_DATA", "CALLBACK_CONTROL_IPC",
    "DELETE", "RELEASE"};

// With the stand-in pumping messages in DELETE: a task that arrives inside it is released
// unrun, and the host ends with each engine call of the session made once.
void ATaskInsideDeleteIsReleasedAndTheHostEnds(const HostDir& dir, HostProcess& host) {
  ASSERT_TRUE(Eventually([&] { return InOrder(CallNames(dir.EngineCalls()), {"DELETE"}); }));
  auto late = LarkInfoInBackground(host.Connection());
  ASSERT_TRUE(Pumped(dir, LarkProtocol::kRunTaskMessage));
  dir.Script("");
  EXPECT_EQ(late.get(), "error:post_message_failed");
  EXPECT_TRUE(dir.EndedInOrder(host.WaitForExit(kExit)));
  EXPECT_EQ(CallNames(dir.EngineCalls()), kEachCallOnce);
}

// An engine that pumps messages inside CREATE and DELETE (a COM wait, a modal loop) lets the
// host's own messages through: they wait until the engine call has returned.
TEST(HostEnds, ShutdownAndTasksArrivingWhileEngineCallsPumpMessages) {
  HostDir dir;
  dir.Script("pump CREATE\npump DELETE\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  HostConnection& parent = host->Connection();
  parent.Start();
  auto first = LarkInfoInBackground(parent);
  ASSERT_TRUE(Eventually([&] { return !dir.EngineCalls().empty(); }));  // inside CREATE
  PostMessageW(HostWindow(), LarkProtocol::kShutdownMessage, 0, 0);     // shutdown
  ASSERT_TRUE(Pumped(dir, LarkProtocol::kShutdownMessage));
  dir.Script("pump DELETE\n");
  EXPECT_EQ(first.get(), "ok");
  ATaskInsideDeleteIsReleasedAndTheHostEnds(dir, *host);
}

// Any program on the desktop can post to a top-level window: task messages the host did not
// queue are ignored, and a quit message sent to its thread still ends it the orderly way, with
// the same care for an engine that pumps messages inside DELETE.
TEST(HostEnds, MessagesFromElsewhere) {
  HostDir dir;
  std::unique_ptr<HostProcess> host = dir.LaunchAnswering();
  ASSERT_TRUE(host);
  HostConnection& parent = host->Connection();
  HWND window = HostWindow();
  ASSERT_NE(window, nullptr);
  // Not 1: the host numbers its own tasks from 1, and a stray that names a task queued by then
  // only runs that task early, which is harmless but would race the count below.
  for (WPARAM stray : {WPARAM{0xdeadbeef}, reinterpret_cast<WPARAM>(window), ~WPARAM{0}})
    PostMessageW(window, LarkProtocol::kRunTaskMessage, stray, 0);
  const std::optional<CallResult> info =
      parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->body, "ok");
  const Lines log = dir.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "[MainWindowProc] Ignored a task message this host did not queue"),
            1);
  dir.Script("pump DELETE\n");
  PostThreadMessageW(GetWindowThreadProcessId(window, nullptr), WM_QUIT, 0, 0);
  ATaskInsideDeleteIsReleasedAndTheHostEnds(dir, *host);
}

// Any program on the desktop can send the window a creation message, which carries a pointer
// of the sender's choosing, or post it a destruction message: neither unbinds, rebinds, renames
// or ends anything, and the host ends as usual.
TEST(HostEnds, CreationAndDestructionMessagesFromElsewhereChangeNothing) {
  HostDir dir;
  std::unique_ptr<HostProcess> host = dir.Launch();
  HostConnection& parent = host->Connection();
  parent.Start();
  ASSERT_EQ(parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})")->body, "ok");
  HWND window = HostWindow();
  ASSERT_NE(window, nullptr);
  for (const std::uintptr_t chosen : {std::uintptr_t{0}, std::uintptr_t{0x41414141}}) {
    CREATESTRUCTW create{};
    create.lpCreateParams = reinterpret_cast<void*>(chosen);
    create.lpszName = L"Renamed";
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create), SMTO_NORMAL,
                        10000, &result);
  }
  PostMessageW(window, WM_DESTROY, 0, 0);
  // Runs on the main thread, after the messages above.
  const std::optional<CallResult> again =
      parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->body, "ok");
  EXPECT_EQ(HostWindow(), window);

  ASSERT_TRUE(parent.Call(LarkProtocol::kReleaseMethod, "").has_value());
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kExit)));
  const Lines names = CallNames(dir.EngineCalls());
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(Lines(names.end() - 2, names.end()), (Lines{"DELETE", "RELEASE"}));
  const Lines log = dir.Log();
  for (const char* ignored : {"[MainWindowProc] Ignored a WM_NCCREATE this host did not send",
                              "[MainWindowProc] Ignored a WM_DESTROY this host did not send"})
    EXPECT_EQ(std::count(log.begin(), log.end(), ignored), 1) << ignored;
}

// Browser and helper processes that the engine starts inherit what is inheritable: never the
// host's pipe ends, which would keep the parent's pipes open after the host has gone.
TEST(HostEnds, AChildOfTheEngineDoesNotKeepTheParentsPipesOpen) {
  HostDir dir;
  dir.Script("inside START spawn 120\n");
  std::unique_ptr<HostProcess> host = dir.Launch();
  Inbox inbox;
  inbox.Attach(host->Connection());
  HostConnection& parent = host->Connection();
  ASSERT_TRUE(parent.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})").has_value());
  ASSERT_TRUE(parent.Call(LarkProtocol::kStartMethod, "1").has_value());
  DWORD child = 0;
  for (const std::string& call : dir.EngineCalls())
    if (call.rfind("SPAWNED\t", 0) == 0) child = std::stoul(call.substr(8));
  ASSERT_NE(child, 0u);
  ASSERT_TRUE(parent.Call(LarkProtocol::kReleaseMethod, "").has_value());
  EXPECT_TRUE(dir.EndedInOrder(host->WaitForExit(kExit)));
  EXPECT_TRUE(HostConnectionTestPeer(parent).WaitForHostEnds(10s));
  const LarkWin::UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, child));
  ASSERT_TRUE(process);
  EXPECT_EQ(WaitForSingleObject(process.Get(), 0),
            static_cast<DWORD>(WAIT_TIMEOUT));  // still there
  TerminateProcess(process.Get(), 0);
}

// The engine's own libraries load from beside it; the working directory, which anybody may
// have filled, is no place to load code from.
TEST(HostStartup, EngineLibrariesLoadFromBesideItNeverFromTheWorkingDirectory) {
  for (const bool beside : {true, false}) {
    SCOPED_TRACE(beside ? "beside the engine" : "in the working directory");
    HostDir dir(EngineCopy::Dependent);
    const std::filesystem::path elsewhere = dir.Path() / "cwd";
    std::filesystem::create_directories(elsewhere);
    std::filesystem::copy_file(lark::test::BinDirectory() / "lark_sim_dependency.dll",
                               (beside ? dir.Path() : elsewhere) / "lark_sim_dependency.dll");
    std::unique_ptr<HostProcess> host = dir.Launch({}, elsewhere);
    if (beside) {
      host->Connection().Start();
      ASSERT_TRUE(host->Connection().Call(LarkProtocol::kReleaseMethod, "").has_value());
      EXPECT_EQ(host->WaitForExit(kExit), 0u);
    } else {
      EXPECT_EQ(host->WaitForExit(kExit), 1u);
      EXPECT_TRUE(InOrder(dir.Log(), {"[LoadDll] LoadLibraryW failed : 126",
                                      "[WinMain] LarkRemoteStreamer.dll load failed"}));
    }
  }
}

}  // namespace
}  // namespace LarkParent
