#include "tools/session.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <thread>

#include "parent/host_exit.h"
#include "parent/host_protocol.h"
#include "parent/running_hosts.h"

namespace Larkhostctl {

using LarkParent::CallResult;
using LarkParent::HostProcess;
using namespace std::chrono_literals;

namespace {

// A host whose pipes have closed is about to be seen exiting.
constexpr auto kExitAfterPipesClose = 5s;
// Room for the host's own shutdown watchdog and its minidump.
constexpr auto kExitAfterRelease = LarkParent::EndBounds{}.release;

[[noreturn]] void EndWith(const char* what) noexcept {
  LogFollower::RestoreNow();
  std::fflush(stdout);
  std::fprintf(stderr, "larkhostctl: %s\n", what);
  std::fflush(stderr);
  std::_Exit(1);
}

// An exception on a thread of larkhostctl's own ends it as one on the main thread does: with one
// line and exit code 1, the flag file given back first.
template <typename Work>
void EndOnException(const Work& work) noexcept {
  try {
    work();
  } catch (const std::exception& error) {
    EndWith(error.what());
  } catch (...) {
    EndWith("an exception of unknown type");
  }
}

}  // namespace

std::string Seconds(std::chrono::milliseconds time) {
  return time.count() % 1000 == 0 ? std::to_string(time.count() / 1000) + "s"
                                  : std::to_string(time.count()) + "ms";
}

std::string ExitMeaning(std::uint32_t code, std::uint32_t processId,
                        const std::filesystem::path& hostFolder) {
  switch (code) {
    case 0:
      return "a normal end";
    case 1:
      return "start-up failed: the engine library is missing or incomplete, or the pipe handles "
             "or the window could not be had";
    case HostProcess::kTerminatedExitCode:
      return "terminated by larkhostctl";
  }
  // A crash or a hang; the host's own codes are the ones above.
  return LarkParent::IsExceptionExitCode(code)
             ? LarkParent::DescribeHostExit(code, processId, hostFolder)
             : "not an exit code of the host's own";
}

Session::Session(SessionOptions options)
    : options_(std::move(options)), printer_(options_.print, [](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
      }) {
  for (Pipe pipe :
       {Pipe::Request, Pipe::Response, Pipe::ReverseRequest, Pipe::ReverseResponse, Pipe::Notify})
    streams_.emplace(pipe, PipeStream(pipe));
}

Session::~Session() {
  if (host_) host_->OnExit(nullptr);  // an exit seen from here on is not printed
  host_.reset();                      // its threads print through this session
  log_.reset();
}

std::chrono::microseconds Session::SinceLaunch() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               launched_);
}

void Session::Event(std::string_view name, const std::string& text, nlohmann::ordered_json fields) {
  LarkSync::MutexLock lock(outputLock_);
  printer_.Event(SinceLaunch(), name, text, std::move(fields));
}

void Session::Fail(const std::string& message) {
  failed_ = true;
  std::fprintf(stderr, "larkhostctl: %s\n", message.c_str());
  std::fflush(stderr);
}

bool Session::Launch() {
  const std::filesystem::path folder = options_.host.parent_path();
  if (!options_.capture.empty()) {
    std::string error;
    LarkSync::MutexLock lock(outputLock_);
    capture_ = CaptureWriter::Create(options_.capture, &error);
    if (!capture_) {
      Fail(error);
      return false;
    }
  }
  if (options_.log && std::filesystem::exists(options_.host))
    log_ = std::make_unique<LogFollower>(folder);
  else
    LogFollower::RestoreLeftOver(folder);

  HostProcess::Options launch;
  launch.executable = options_.host.wstring();
  std::string error;
  launched_ = std::chrono::steady_clock::now();
  host_ = HostProcess::Launch(launch, &error);
  if (!host_) {
    Fail("cannot start the host: " + error);
    return false;
  }
  const DWORD processId = host_->ProcessId();
  Event("started", "started " + options_.host.string() + ", process " + std::to_string(processId),
        {{"host", options_.host.string()}, {"process", processId}});

  LarkParent::HostConnection& connection = host_->Connection();
  connection.ObserveFrames([this](Pipe pipe, std::string_view bytes) { OnFrame(pipe, bytes); });
  const auto answer = [this](const std::string& method, CallResult result) {
    return [this, method, result](const std::string&) -> std::optional<CallResult> {
      if (options_.unanswered.count(method) != 0) return std::nullopt;
      return result;
    };
  };
  connection.Serve(
      std::string(LarkParent::kGetJwtMethod),
      answer(std::string(LarkParent::kGetJwtMethod),
             options_.token
                 ? CallResult{0, *options_.token}
                 : CallResult{static_cast<std::uint32_t>(AnonRpc::RpcStatus::HandlerError),
                              "larkhostctl has no token to give: start it "
                              "with --jwt TOKEN or --jwt-file FILE"}));
  connection.Serve(std::string(LarkParent::kCefControlMethod),
                   answer(std::string(LarkParent::kCefControlMethod),
                          CallResult{options_.cefStatus, options_.cefBody}));
  for (const std::string& method : options_.unanswered)
    if (method != LarkParent::kGetJwtMethod && method != LarkParent::kCefControlMethod)
      connection.Serve(method, answer(method, {}));
  connection.Start();
  if (log_)
    log_->Start([this] {
      EndOnException([this] {
        LarkSync::MutexLock lock(outputLock_);
        PrintLogLines();
      });
    });
  if (!host_->OnExit([this](std::uint32_t code) { EndOnException([&] { Exited(code); }); })) {
    Fail("cannot watch the host : " + std::to_string(GetLastError()));
    return false;
  }
  return true;
}

void Session::PrintLogLines() {
  if (!log_) return;
  for (const std::string& line : log_->NewLines())
    printer_.Event(SinceLaunch(), "log", "log " + line, {{"line", line}});
}

void Session::OnFrame(Pipe pipe, std::string_view bytes) {
  LarkSync::MutexLock lock(outputLock_);
  // The host logs what it does before it answers: lines logged so far come first.
  PrintLogLines();
  const std::chrono::microseconds time = SinceLaunch();
  if (capture_) capture_->Write(time, pipe, bytes);
  PipeStream& stream = streams_.at(pipe);
  stream.Append(bytes);
  while (std::optional<Frame> frame = stream.Next()) {
    printer_.Print(time, *frame);
    LarkSync::MutexLock state(stateLock_);
    // A reverse call counts once its answer is out, so that a wait for it ends after both lines.
    if (pipe == Pipe::Response) answered_ = true;
    if (const auto* note = std::get_if<AnonRpc::Notification>(&frame->content)) {
      ++notifications_.seen[note->type];
    } else if (pipe == Pipe::ReverseRequest) {
      const auto& call = std::get<AnonRpc::Request>(frame->content);
      if (options_.unanswered.count(call.method) != 0)
        ++reverseCalls_.seen[call.method];
      else
        answering_[call.id] = call.method;
    } else if (pipe == Pipe::ReverseResponse) {
      const auto answered = answering_.find(std::get<AnonRpc::Response>(frame->content).id);
      if (answered != answering_.end()) {
        ++reverseCalls_.seen[answered->second];
        answering_.erase(answered);
      }
    }
    changed_.notify_all();
  }
}

void Session::Exited(std::uint32_t code) {
  {
    LarkSync::MutexLock lock(outputLock_);
    PrintLogLines();  // its last lines come before the exit
  }
  const std::string meaning = Meaning(code);
  Event("exit", "host exited with code " + std::to_string(code) + " (" + meaning + ")",
        {{"code", code}, {"meaning", meaning}});
  LarkSync::MutexLock lock(stateLock_);
  exitCode_ = code;
  changed_.notify_all();
}

std::optional<std::uint32_t> Session::WaitForExit(std::chrono::milliseconds timeout) {
  LarkSync::MutexLock lock(stateLock_);
  changed_.wait_for(lock, timeout,
                    [this]() LARK_REQUIRES(stateLock_) { return exitCode_.has_value(); });
  return exitCode_;
}

std::string Session::Meaning(std::uint32_t code) {
  if (code == 0 && host_) {
    if (const std::optional<LarkParent::RunningHost> holder = host_->SessionHolder())
      return "another host holds the session: " + LarkParent::DescribeRunningHost(*holder);
    LarkSync::MutexLock lock(stateLock_);
    if (!answered_)
      return "a normal end, but it answered nothing: a host that finds another one running in "
             "this session ends so at once";
  }
  return ExitMeaning(code, host_ ? host_->ProcessId() : 0, options_.host.parent_path());
}

bool Session::EndedEarly() {
  std::optional<std::uint32_t> code;
  {
    LarkSync::MutexLock lock(stateLock_);
    if (exitExpected_ || !exitCode_) return false;
    code = exitCode_;
  }
  if (!earlyEndReported_) {
    // The host's log says which start-up step failed; the exit code cannot.
    const std::string hint =
        *code != 1     ? ""
        : options_.log ? "; the host's last log line above names the cause"
                       : "; run again with --log to see why: the host's last log line names the "
                         "cause";
    Fail("host ended early with exit code " + std::to_string(*code) + " (" + Meaning(*code) + ")" +
         hint);
  }
  earlyEndReported_ = true;
  return true;
}

bool Session::Run(const Command& command) {
  if (EndedEarly()) return false;
  const auto expectExit = [this] {
    LarkSync::MutexLock lock(stateLock_);
    exitExpected_ = true;
  };
  switch (command.kind) {
    case Command::Kind::Call:
      return Call(command);
    case Command::Kind::WaitNotify:
      return Wait(command);
    case Command::Kind::WaitCall:
      return Wait(command);
    case Command::Kind::Sleep:
      std::this_thread::sleep_for(command.duration);
      return true;
    case Command::Kind::WaitExit:
      expectExit();
      if (WaitForExit(command.duration)) return true;
      Fail(command.text + ": the host still runs after " + Seconds(command.duration));
      return false;
    case Command::Kind::Close: {
      expectExit();
      if (LarkParent::PostCloseToHost(host_->ProcessId())) return true;
      Fail("close: the host has no window");
      return false;
    }
    case Command::Kind::Kill:
      expectExit();
      host_->Terminate(HostProcess::kTerminatedExitCode);
      return true;
    case Command::Kind::Help:
      std::fputs(kCommandHelp, stdout);
      std::fflush(stdout);
      return true;
  }
  return true;
}

bool Session::Call(const Command& command) {
  if (WaitForExit(0ms)) {
    if (!EndedEarly()) Fail(command.text + ": the host has exited");
    return false;
  }
  // The host may exit as soon as its answer is out, before this thread sees the answer.
  const bool release = command.name == LarkParent::kReleaseMethod;
  if (release) {
    LarkSync::MutexLock lock(stateLock_);
    exitExpected_ = true;
  }
  const auto start = std::chrono::steady_clock::now();
  const std::optional<CallResult> result =
      host_->Connection().Call(command.name, command.payload, options_.callTimeout);
  if (!result) {
    const bool timedOut = std::chrono::steady_clock::now() - start >= options_.callTimeout;
    const std::optional<std::uint32_t> code =
        timedOut ? std::nullopt : WaitForExit(kExitAfterPipesClose);
    if (code && EndedEarly()) return false;
    if (release && code == 0u) return true;  // released, its answer lost to its exit
    Fail(command.text + (timedOut ? ": no answer within " + Seconds(options_.callTimeout)
                                  : ": no answer; the host closed its pipes"));
    return false;
  }
  const std::string advice = AnswerAdvice(command.name, *result);
  const std::string then = advice.empty() ? "" : "; " + advice;
  if (!result->Ok()) {
    Fail(command.text + ": answered " + StatusName(result->status) + " " + Quoted(result->body) +
         then);
    return true;
  }
  if (result->Refused()) {
    refused_ = true;
    std::fprintf(stderr, "larkhostctl: %s: refused %s%s\n", command.text.c_str(),
                 Quoted(result->body).c_str(), then.c_str());
    std::fflush(stderr);
  }
  return true;
}

bool Session::Wait(const Command& command) {
  const bool notification = command.kind == Command::Kind::WaitNotify;
  {
    LarkSync::MutexLock lock(stateLock_);
    Tally& tally = notification ? notifications_ : reverseCalls_;
    const auto came = [&]() LARK_REQUIRES(stateLock_) {
      return tally.seen[command.name] > tally.waited[command.name];
    };
    changed_.wait_for(lock, command.duration,
                      [&]() LARK_REQUIRES(stateLock_) { return came() || exitCode_.has_value(); });
    if (came()) {
      ++tally.waited[command.name];
      return true;
    }
  }
  if (EndedEarly()) return false;
  Fail(command.text + ": no " + (notification ? "notification " : "call ") + command.name +
       (WaitForExit(0ms) ? " before the host exited" : " within " + Seconds(command.duration)));
  return false;
}

int Session::Finish() {
  if (host_ && !WaitForExit(0ms)) {
    bool expected;
    {
      LarkSync::MutexLock lock(stateLock_);
      expected = exitExpected_;
    }
    if (!expected)
      Run(Command{Command::Kind::Call, LarkParent::kReleaseMethod, "", {}, "call Release"});
    if (!WaitForExit(kExitAfterRelease)) {
      Fail("the host did not exit within " + Seconds(kExitAfterRelease) + "; terminating it");
      host_->Terminate(HostProcess::kTerminatedExitCode);
      WaitForExit(kExitAfterRelease);
    }
  }
  if (host_ && !EndedEarly()) {
    const std::optional<std::uint32_t> code = WaitForExit(0ms);
    if (code && *code != 0 && !failed_)  // a failure said first is the one line to read
      Fail("host exited with code " + std::to_string(*code) + " (" + Meaning(*code) + ")");
  }
  if (host_) {
    LarkSync::MutexLock lock(outputLock_);
    printer_.Event(SinceLaunch(), "heartbeats",
                   "heartbeats: " + std::to_string(printer_.Heartbeats()),
                   {{"count", printer_.Heartbeats()}});
  }
  if (failed_) return kFailedExitCode;
  return refused_ && options_.failOnRefusal ? kRefusedExitCode : 0;
}

}  // namespace Larkhostctl
