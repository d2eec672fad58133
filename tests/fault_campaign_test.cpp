// Faults on purpose: the real LarkRemoteHost.exe with the stand-in engine, a session driven
// through the parent kit, and one fault injected at a point a seed chooses. Whatever the fault,
// every run must end the same way: the host gone within a bound with its exit code, its log
// ending in "Exit" (or, for an engine that never returns, in the hang report) without a torn
// line, the single-instance mutex free for the next host, and no
// process of the run left behind.
//
// Seeds run from LARK_FAULT_SEED (default 1), LARK_FAULT_RUNS of them (default five per fault);
// seed s runs fault s modulo their number. A failure names its seed, and LARK_FAULT_SEED=s
// LARK_FAULT_RUNS=1 replays it (./run faults 1 s).

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>

#include "protocol/lark_protocol.h"
#include "rpc/notify_sender.h"
#include "support/bin_directory.h"
#include "support/file_lines.h"
#include "support/host_connection_test_peer.h"
#include "support/host_dir.h"
#include "support/host_session.h"
#include "support/process_stats.h"
#include "win/unique_handle.h"

namespace LarkParent {
namespace {

using lark::test::CallNames;
using lark::test::Eventually;
using lark::test::HostDir;
using lark::test::HostWindow;
using lark::test::Inbox;
using lark::test::InOrder;
using lark::test::Lines;
using namespace std::chrono_literals;

// How long a host may take to end once the fault has made its end due: the heartbeat that
// notices a vanished parent comes every 3 s, a reverse call gives up after 10 s.
constexpr auto kEndBound = 15s;
// A host whose engine never returns ends itself 30 s after it was asked to end, after a dump.
constexpr auto kHungEndBound = 60s;

// What one run leaves to be checked.
struct Outcome {
  std::optional<std::uint32_t> exitCode;  // nullopt: still running after the bound
  std::uint32_t expectedExitCode = 0;
  std::vector<DWORD> processes;  // every other process the run started
};

// One run: its folder, its random choices, and what it reports.
class FaultRun {
 public:
  explicit FaultRun(std::uint32_t seed) : random_(seed) {}

  HostDir& Dir() { return dir_; }
  // Which variant of the fault ran, and what went wrong.
  std::ostringstream& Note() { return notes_; }
  std::ostringstream& Fail() { return problems_; }

  template <typename T>
  T Between(T low, T high) {
    if constexpr (std::is_integral_v<T>) {
      return std::uniform_int_distribution<T>(low, high)(random_);
    } else {
      return T(std::uniform_int_distribution<long long>(low.count(), high.count())(random_));
    }
  }
  template <typename T>
  const T& Pick(std::initializer_list<T> choices) {
    return choices.begin()[Between<std::size_t>(0, choices.size() - 1)];
  }
  std::mt19937& Random() { return random_; }

  // Launches the host with the script and a parent that answers the host's calls.
  HostProcess& Launch(const std::string& script, bool answerGetJwt = true) {
    dir_.Script(script);
    host_ = dir_.Launch();
    HostConnection& parent = host_->Connection();
    parent.Serve(LarkProtocol::kGetJwtMethod,
                 [answerGetJwt](const std::string&) -> std::optional<CallResult> {
                   if (!answerGetJwt) return std::nullopt;
                   return CallResult{0, "token"};
                 });
    parent.Serve(LarkProtocol::kCefControlMethod, [](const std::string&) {
      return CallResult{0, "ok"};
    });
    return *host_;
  }
  HostConnection& Parent() { return host_->Connection(); }
  HostConnectionTestPeer Faults() { return HostConnectionTestPeer(Parent()); }

  void Sleep(std::chrono::milliseconds low, std::chrono::milliseconds high) {
    std::this_thread::sleep_for(Between(low, high));
  }

  bool Call(const char* method, const std::string& payload = "") {
    const std::optional<CallResult> result = Parent().Call(method, payload, 30s);
    if (!result) problems_ << method << ": no answer; ";
    return result.has_value();
  }

  // Whether the log holds the message, within a while.
  bool Logged(const std::string& message) {
    return Eventually([&] { return InOrder(dir_.Log(), {message}); });
  }

  Outcome End(std::uint32_t expected = 0, std::chrono::seconds bound = kEndBound) {
    Outcome outcome;
    outcome.exitCode = host_->WaitForExit(bound);
    outcome.expectedExitCode = expected;
    return outcome;
  }

 private:
  HostDir dir_;
  std::mt19937 random_;
  std::ostringstream notes_;
  std::ostringstream problems_;
  std::unique_ptr<HostProcess> host_;
};

constexpr char kInfo[] = R"({"hWnd":"1"})";

// --- the faults -----------------------------------------------------------------------------

// The parent process dies at a random point; the host notices at its next heartbeat.
Outcome ParentDies(FaultRun& run) {
  const std::string phase = run.Pick({"larkinfo", "getjwt", "flood", "idle"});
  run.Note() << "phase " << phase << "; ";
  const std::map<std::string, std::string> scripts = {{"larkinfo", "hold CREATE\n"},
                                                      {"getjwt", "on START request 65281 1024\n"},
                                                      {"flood", "on START burst 20000 7 flood\n"},
                                                      {"idle", ""}};
  run.Dir().Script(scripts.at(phase));
  const std::filesystem::path progress = run.Dir().Path() / "progress.txt";
  std::wstring commandLine =
      L"\"" + (lark::test::BinDirectory() / "fault_parent.exe").wstring() + L"\" \"" +
      (run.Dir().Path() / LarkProtocol::kHostExecutableName).wstring() + L"\" \"" +
      progress.wstring() + L"\" " + std::wstring(phase.begin(), phase.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION parent{};
  Outcome outcome;
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &parent)) {
    run.Fail() << "fault_parent not started; ";
    return outcome;
  }
  const LarkWin::UniqueHandle parentProcess(parent.hProcess);
  const LarkWin::UniqueHandle parentThread(parent.hThread);
  outcome.processes.push_back(parent.dwProcessId);
  DWORD hostId = 0;
  const bool reached = Eventually([&] {
    for (const std::string& line : lark::test::FileLines(progress, "\n")) {
      if (line.rfind("host ", 0) == 0) hostId = std::stoul(line.substr(5));
      if (line == "phase " + phase) return hostId != 0;
    }
    return false;
  });
  const LarkWin::UniqueHandle host(
      hostId != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                                FALSE, hostId)
                  : nullptr);
  if (!reached || !host) {
    run.Fail() << "phase not reached (";
    for (const std::string& line : lark::test::FileLines(progress, "\n"))
      run.Fail() << line << ", ";
    const Lines log = run.Dir().Log();
    run.Fail() << (log.empty() ? "no log" : log.back()) << "); ";
  }
  if (phase == "larkinfo") Eventually([&] { return !run.Dir().EngineCalls().empty(); });
  run.Sleep(0ms, 300ms);
  TerminateProcess(parentProcess.Get(), 9);
  WaitForSingleObject(parentProcess.Get(), 10000);
  if (phase == "larkinfo") run.Dir().Script("");  // the engine lets CREATE return
  if (host) {
    DWORD code = 0;
    if (WaitForSingleObject(host.Get(), static_cast<DWORD>(kEndBound / 1ms)) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(host.Get(), &code))
      outcome.exitCode = code;
    else
      TerminateProcess(host.Get(), 0xDEAD);
  }
  return outcome;
}

// The parent lets go of its pipe ends one at a time, in a random order, during a session.
Outcome PipesCloseOneByOne(FaultRun& run) {
  run.Launch("on START data 7 started\n");
  run.Parent().Start();
  std::vector<std::function<void()>> closes = {
      [&] { run.Faults().CloseRequestPipe(); }, [&] { run.Faults().CloseResponsePipe(); },
      [&] { run.Faults().CloseReversePipes(); }, [&] { run.Faults().CloseNotifyPipe(); }};
  std::shuffle(closes.begin(), closes.end(), run.Random());
  const char* const steps[] = {LarkProtocol::kLarkInfoMethod, LarkProtocol::kStartMethod,
                               LarkProtocol::kIsRunMethod, LarkProtocol::kOpenUrlMethod};
  for (std::size_t i = 0; i < closes.size(); ++i) {
    run.Parent().Call(steps[i], i == 0 ? kInfo : "1", 5s);  // may go unanswered now
    run.Sleep(0ms, 200ms);
    closes[i]();
  }
  return run.End();
}

// "End" and "Release" sent at once from two threads.
Outcome EndRacingRelease(FaultRun& run) {
  run.Launch("");
  run.Parent().Start();
  run.Call(LarkProtocol::kLarkInfoMethod, kInfo);
  run.Call(LarkProtocol::kStartMethod, "1");
  const auto gap = run.Between(0ms, 20ms);
  std::thread end([&] { run.Call(LarkProtocol::kEndMethod); });
  std::this_thread::sleep_for(gap);
  run.Call(LarkProtocol::kReleaseMethod);
  end.join();
  Outcome outcome = run.End();
  const Lines calls = CallNames(run.Dir().EngineCalls());
  if (std::count(calls.begin(), calls.end(), "DELETE") != 1 ||
      std::count(calls.begin(), calls.end(), "RELEASE") != 1)
    run.Fail() << "DELETE and RELEASE not once each; ";
  return outcome;
}

// "Release" while "LarkInfo" waits for an engine that holds CREATE.
Outcome ReleaseDuringLarkInfo(FaultRun& run) {
  run.Launch("hold CREATE\n");
  run.Parent().Start();
  auto info = lark::test::LarkInfoInBackground(run.Parent());
  Eventually([&] { return !run.Dir().EngineCalls().empty(); });
  run.Sleep(0ms, 100ms);
  auto release =
      std::async(std::launch::async, [&] { return run.Call(LarkProtocol::kReleaseMethod); });
  run.Sleep(0ms, 200ms);
  run.Dir().Script("");
  if (info.get() != "ok") run.Fail() << "LarkInfo not answered ok; ";
  release.get();
  return run.End();
}

// WM_CLOSE while the engine holds a call, on the main thread or the request thread.
Outcome WmCloseWhileAnEngineCallIsHeld(FaultRun& run) {
  const std::string held = run.Pick({"CREATE", "LARK_INFO", "START", "OPEN"});
  run.Note() << "held " << held << "; ";
  run.Launch("hold " + held + "\n");
  run.Parent().Start();
  auto info = lark::test::LarkInfoInBackground(run.Parent());
  std::future<bool> step;
  if (held == "START" || held == "OPEN") {
    info.get();
    step = std::async(std::launch::async, [&] {
      return run.Call(held == "START" ? LarkProtocol::kStartMethod : LarkProtocol::kOpenUrlMethod,
                      "1");
    });
  }
  Eventually([&] {
    return !CallNames(run.Dir().EngineCalls()).empty() &&
           CallNames(run.Dir().EngineCalls()).back() == held;
  });
  PostMessageW(HostWindow(), WM_CLOSE, 0, 0);
  run.Sleep(0ms, 300ms);
  run.Dir().Script("");
  Outcome outcome = run.End();
  if (step.valid()) step.wait();
  if (info.valid()) info.wait();
  return outcome;
}

// A parent that stops reading notifications while the engine floods events: the queue stays
// bounded, every drop is counted in the log, and "Release" still ends the host.
Outcome NotificationsStalledDuringAFlood(FaultRun& run) {
  const int events = run.Between(12000, 20000);
  run.Launch("on START burst " + std::to_string(events) + " 7 " + std::string(64, 'e') + "\n");
  run.Faults().PauseNotifications(true);
  run.Parent().Start();
  run.Call(LarkProtocol::kLarkInfoMethod, kInfo);
  run.Call(LarkProtocol::kStartMethod, "1");
  Eventually([&] { return InOrder(CallNames(run.Dir().EngineCalls()), {"FIRED"}); });
  run.Call(LarkProtocol::kReleaseMethod);
  Outcome outcome = run.End();
  // Each drop is a line carrying its running total; the session's total closes them.
  const Lines log = run.Dir().Log();
  const std::string overflow =
      "[AnonRpc::NotifySender::Enqueue] NotifySender queue overflow, dropped oldest (type=7, "
      "total=";
  const auto drops = std::count_if(log.begin(), log.end(), [&](const std::string& line) {
    return line.rfind(overflow, 0) == 0;
  });
  const std::string total =
      "[AnonRpc::NotifySender::Stop] NotifySender total dropped during session: " +
      std::to_string(drops);
  if (drops < events - static_cast<long>(AnonRpc::NotifySender::kQueueBound) - 2000 ||
      !InOrder(log, {overflow + std::to_string(drops) + ")", total}))
    run.Fail() << drops << " drops logged for " << events << " events; ";
  return outcome;
}

// A parent that stops reading the host's calls while the engine sends control texts larger
// than the pipe holds; then "End", "Release" or WM_CLOSE.
Outcome ReverseCallsStalled(FaultRun& run) {
  const std::string end = run.Pick({"End", "Release", "WM_CLOSE"});
  run.Note() << "then " << end << "; ";
  run.Launch("on START controls 20 100000\n");
  run.Faults().PauseReverseCalls(true);
  run.Parent().Start();
  run.Call(LarkProtocol::kLarkInfoMethod, kInfo);
  run.Call(LarkProtocol::kStartMethod, "1");
  run.Logged("[DllControlIpcCallback] [ctl-ipc] 3) DllControlIpcCallback entry len=100000");
  run.Sleep(0ms, 200ms);
  if (end == "WM_CLOSE") {
    PostMessageW(HostWindow(), WM_CLOSE, 0, 0);
  } else {
    if (end == "End")
      run.Call(LarkProtocol::kEndMethod);  // DELETE waits out the blocked call's time-out
    run.Call(LarkProtocol::kReleaseMethod);
  }
  return run.End();
}

// A parent that never answers "GetJWT" while "Release" arrives.
Outcome TokenNeverAnswered(FaultRun& run) {
  run.Launch("on START request 65281 1024\n", /*answerGetJwt=*/false);
  run.Parent().Start();
  run.Call(LarkProtocol::kLarkInfoMethod, kInfo);
  run.Call(LarkProtocol::kStartMethod, "1");
  run.Sleep(0ms, 300ms);
  run.Call(LarkProtocol::kReleaseMethod);
  return run.End();
}

// Engine callbacks firing from several threads while the host shuts down.
Outcome CallbacksDuringShutdown(FaultRun& run) {
  run.Launch(
      "on START burst 5000 7 x\n"
      "on START burst 5000 -3 y\n"
      "on START request 65281 1024\n"
      "on START request 65281 512\n"
      "on START controls 300 40\n");
  run.Parent().Start();
  run.Call(LarkProtocol::kLarkInfoMethod, kInfo);
  run.Call(LarkProtocol::kStartMethod, "1");
  run.Sleep(0ms, 100ms);
  if (run.Between(0, 1) == 0) {
    run.Call(LarkProtocol::kReleaseMethod);
  } else {
    PostMessageW(HostWindow(), WM_CLOSE, 0, 0);
  }
  return run.End();
}

std::size_t ThreadsOf(DWORD process) {
  const std::optional<lark::test::ProcessFigures> figures = lark::test::FiguresOf(process);
  return figures ? figures->threads : 0;
}

// 1000 control texts in a burst: answered, and the host's thread count stays flat.
Outcome ControlTextBurst(FaultRun& run) {
  std::atomic<int> answered{0};
  HostProcess& host =
      run.Launch("on START controls 1000 " + std::to_string(run.Between(1, 2000)) + "\n");
  host.Connection().Serve(LarkProtocol::kCefControlMethod, [&](const std::string&) {
    ++answered;
    return CallResult{0, "ok"};
  });
  host.Connection().Start();
  run.Call(LarkProtocol::kLarkInfoMethod, kInfo);
  const std::size_t before = ThreadsOf(host.ProcessId());
  run.Call(LarkProtocol::kStartMethod, "1");
  std::size_t most = before;
  Eventually([&] {
    most = std::max(most, ThreadsOf(host.ProcessId()));
    return answered.load() == 1000;
  });
  if (answered.load() != 1000) run.Fail() << answered.load() << " of 1000 answered; ";
  if (most > before + 2) run.Fail() << "threads " << before << " -> " << most << "; ";
  run.Call(LarkProtocol::kReleaseMethod);
  return run.End();
}

// Messages from elsewhere on the desktop.
Outcome StrayMessages(FaultRun& run) {
  const std::string kind = run.Pick({"tasks", "quit", "close twice"});
  run.Note() << kind << "; ";
  run.Launch("");
  run.Parent().Start();
  run.Call(LarkProtocol::kLarkInfoMethod, kInfo);
  HWND window = HostWindow();
  if (kind == "tasks") {
    for (int i = 0; i < 20; ++i)
      PostMessageW(window, LarkProtocol::kRunTaskMessage,
                   static_cast<WPARAM>(run.Random()()) << run.Between(0, 32), 0);
    run.Call(LarkProtocol::kIsRunMethod);
    run.Call(LarkProtocol::kLarkInfoMethod, kInfo);
    run.Call(LarkProtocol::kReleaseMethod);
  } else if (kind == "quit") {
    PostThreadMessageW(GetWindowThreadProcessId(window, nullptr), WM_QUIT, 0, 0);
  } else {
    PostMessageW(window, WM_CLOSE, 0, 0);
    PostMessageW(window, WM_CLOSE, 0, 0);
  }
  return run.End();
}

// Garbage on the request pipe: the specified answer, or the end of serving; never a crash.
Outcome GarbageOnTheRequestPipe(FaultRun& run) {
  const std::string kind = run.Pick({"random bytes", "huge length", "cut short"});
  run.Note() << kind << "; ";
  run.Launch("");
  std::mutex mutex;
  std::vector<AnonRpc::Response> strays;
  run.Faults().OnStrayResponse([&](const AnonRpc::Response& response) {
    std::lock_guard lock(mutex);
    strays.push_back(response);
  });
  run.Parent().Start();
  run.Call(LarkProtocol::kLarkInfoMethod, kInfo);
  std::optional<AnonRpc::Response> expected;
  if (kind == "random bytes") {
    std::string bytes(run.Between<std::size_t>(1, 64), '\0');
    for (char& byte : bytes) byte = static_cast<char>(run.Between(0, 255));
    if (bytes.size() >= 16 && bytes.compare(0, 4, "AREQ") != 0)
      expected = AnonRpc::Response{0, 2, "Invalid request magic"};
    run.Faults().SendRaw(bytes);
  } else if (kind == "huge length") {
    const std::uint32_t id = run.Between<std::uint32_t>(1000, 100000);
    const std::uint32_t length = run.Between<std::uint32_t>(AnonRpc::kMaxFieldBytes + 1, ~0u);
    const AnonRpc::FrameHeaderBytes header = AnonRpc::EncodeHeader(AnonRpc::RequestHeader{
        AnonRpc::kRequestMagic, id, run.Between(0, 1) ? length : 5u, length});
    run.Faults().SendRaw({reinterpret_cast<const char*>(header.data()), header.size()});
    expected = AnonRpc::Response{id, 2, "Field too large"};
  } else {
    const std::string frame =
        AnonRpc::EncodeRequest(7, LarkProtocol::kIsRunMethod, std::string(100, 'p'));
    run.Faults().SendRaw(frame.substr(0, run.Between<std::size_t>(1, frame.size() - 1)));
    run.Faults().CloseRequestPipe();
  }
  if (expected) {
    const bool answered = Eventually([&] {
      std::lock_guard lock(mutex);
      return !strays.empty();
    });
    std::lock_guard lock(mutex);
    if (!answered || strays[0].id != expected->id || strays[0].status != expected->status ||
        strays[0].body != expected->body)
      run.Fail() << "not answered \"" << expected->body << "\"; ";
  }
  PostMessageW(HostWindow(), WM_CLOSE, 0, 0);  // the server may have stopped serving
  return run.End();
}

// An engine call that never returns, and then the host is asked to end: by "Release", by
// WM_CLOSE, or by a parent that goes away. The host ends itself all the same.
Outcome EngineNeverReturns(FaultRun& run) {
  const std::string stuck = run.Pick({"CREATE", "START", "DELETE", "RELEASE"});
  run.Note() << "stuck in " << stuck << "; ";
  run.Launch("block " + stuck + "\n");
  run.Parent().Start();
  const auto blocked = [&] {
    return Eventually([&] { return InOrder(CallNames(run.Dir().EngineCalls()), {"BLOCKED"}); });
  };
  std::future<std::string> info;
  std::future<bool> start;
  if (stuck == "CREATE") {
    info = lark::test::LarkInfoInBackground(run.Parent());
    blocked();
    run.Parent().Close();
  } else if (run.Call(LarkProtocol::kLarkInfoMethod, kInfo) && stuck == "START") {
    start = std::async(std::launch::async, [&] {
      return run.Parent().Call(LarkProtocol::kStartMethod, "1").has_value();
    });
    blocked();
    PostMessageW(HostWindow(), WM_CLOSE, 0, 0);
  } else {
    run.Call(LarkProtocol::kReleaseMethod);
  }
  Outcome outcome = run.End(LarkProtocol::kHostHungExitCode, kHungEndBound);
  if (info.valid()) info.wait();
  if (start.valid()) start.wait();
  return outcome;
}

struct Fault {
  const char* name;
  Outcome (*run)(FaultRun&);
};

const Fault kFaults[] = {
    {"the parent dies", ParentDies},
    {"pipes close one by one", PipesCloseOneByOne},
    {"End racing Release", EndRacingRelease},
    {"Release during LarkInfo", ReleaseDuringLarkInfo},
    {"WM_CLOSE while an engine call is held", WmCloseWhileAnEngineCallIsHeld},
    {"notifications stalled during a flood", NotificationsStalledDuringAFlood},
    {"reverse calls stalled", ReverseCallsStalled},
    {"GetJWT never answered", TokenNeverAnswered},
    {"callbacks during shutdown", CallbacksDuringShutdown},
    {"1000 control texts", ControlTextBurst},
    {"messages from elsewhere", StrayMessages},
    {"garbage on the request pipe", GarbageOnTheRequestPipe},
    {"an engine call that never returns", EngineNeverReturns},
};
constexpr std::size_t kFaultCount = sizeof(kFaults) / sizeof(kFaults[0]);

// --- the checks -----------------------------------------------------------------------------

// A host started right after takes the single-instance mutex (with no pipes it then just ends).
bool MutexIsFree(const HostDir& probe) {
  probe.ClearLog();
  std::unique_ptr<HostProcess> host =
      probe.Launch([](const AnonRpc::PipeHandles&) { return std::vector<std::wstring>(); });
  return host && host->WaitForExit(30s) == 0u &&
         InOrder(probe.Log(), {"[AcquireSingleInstanceMutex] Single instance mutex acquired"});
}

bool Gone(DWORD process) {
  const LarkWin::UniqueHandle handle(OpenProcess(SYNCHRONIZE, FALSE, process));
  return !handle || WaitForSingleObject(handle.Get(), 10000) == WAIT_OBJECT_0;
}

std::uint32_t EnvironmentNumber(const char* name, std::uint32_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? static_cast<std::uint32_t>(std::stoul(value))
                                            : fallback;
}

TEST(FaultCampaign, SeededRuns) {
  const std::uint32_t first = EnvironmentNumber("LARK_FAULT_SEED", 1);
  const std::uint32_t runs = EnvironmentNumber("LARK_FAULT_RUNS", 5 * kFaultCount);
  HostDir probe;
  for (std::uint32_t seed = first; seed < first + runs; ++seed) {
    const Fault& fault = kFaults[seed % kFaultCount];
    FaultRun run(seed);
    Outcome outcome = fault.run(run);
    std::ostringstream& fail = run.Fail();
    const ::testing::AssertionResult ended = run.Dir().EndedInOrder(
        outcome.exitCode, outcome.expectedExitCode,
        outcome.expectedExitCode == LarkProtocol::kHostHungExitCode ? lark::test::kHungEndLine
                                                                    : lark::test::kExitLine);
    if (!ended) fail << ended.message();
    for (const std::string& call : run.Dir().EngineCalls())
      if (call.rfind("SPAWNED\t", 0) == 0) outcome.processes.push_back(std::stoul(call.substr(8)));
    for (DWORD process : outcome.processes)
      if (!Gone(process)) fail << "process " << process << " left behind; ";
    if (!MutexIsFree(probe)) fail << "single-instance mutex still held; ";

    const std::string problems = fail.str();
    std::printf("seed %u, %s: %s%s\n", seed, fault.name, run.Note().str().c_str(),
                problems.empty() ? "ok" : problems.c_str());
    std::fflush(stdout);
    if (!problems.empty())
      ADD_FAILURE() << "seed " << seed << " (" << fault.name << "): " << run.Note().str()
                    << problems << "replay: LARK_FAULT_SEED=" << seed << " LARK_FAULT_RUNS=1";
  }
}

}  // namespace
}  // namespace LarkParent
