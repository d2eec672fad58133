#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>

#include "parent/host_exit.h"
#include "parent/host_process.h"
#include "parent/host_protocol.h"
#include "parent/pipe_set.h"

namespace LarkParent {

using AnonRpc::PipeHandles;

namespace {

// TerminateProcess only starts the end; waiting for it is bounded all the same.
constexpr std::chrono::seconds kTerminateWait{5};

std::unique_ptr<HostProcess> Fail(std::string* error, const char* what, std::uint32_t code) {
  if (error != nullptr) *error = std::string(what) + " failed : " + std::to_string(code);
  return nullptr;
}

std::string Utf8(const std::wstring& text) {
  const int size = static_cast<int>(text.size());
  std::string out(WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr),
                  '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), static_cast<int>(out.size()),
                      nullptr, nullptr);
  return out;
}

std::vector<HANDLE> HostEnds(const PipeHandles& h) {
  std::vector<HANDLE> ends;
  for (AnonRpc::PipeHandle end :
       {h.fwdReqRead, h.fwdReqWrite, h.fwdResWrite, h.revReqWrite, h.revResRead, h.ntyWrite})
    ends.push_back(reinterpret_cast<HANDLE>(end));
  return ends;
}

std::vector<std::wstring> HandleValueArguments(const PipeHandles& h) {
  std::vector<std::wstring> arguments;
  for (HANDLE end : HostEnds(h))
    arguments.push_back(std::to_wstring(reinterpret_cast<std::uintptr_t>(end)));
  return arguments;
}

// The quoting that the C runtime's and CommandLineToArgvW's parsing undo.
std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes double only before a quote, which itself gets one more.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L'"';
}

// PROC_THREAD_ATTRIBUTE_HANDLE_LIST with the given handles; Get() is null where the system
// does not support it.
class InheritList {
 public:
  explicit InheritList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      return;
    }
    list_ = list;
  }
  ~InheritList() {
    if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
  }
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;  // the list points into it
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

// The pool's wait for the host's exit and the handler it runs.
class HostProcess::ExitWait {
 public:
  ExitWait(HANDLE process, std::function<void(std::uint32_t exitCode)> handler)
      : process_(process), handler_(std::move(handler)) {}
  // Waits for a handler that runs to return.
  ~ExitWait() {
    if (wait_ != nullptr) UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
  }
  ExitWait(const ExitWait&) = delete;
  ExitWait& operator=(const ExitWait&) = delete;

  bool Register() {
    if (RegisterWaitForSingleObject(&wait_, process_, &ExitWait::Exited, this, INFINITE,
                                    WT_EXECUTEONLYONCE))
      return true;
    wait_ = nullptr;
    return false;
  }

 private:
  static VOID CALLBACK Exited(PVOID context, BOOLEAN /*timedOut*/) {
    auto* const self = static_cast<ExitWait*>(context);
    DWORD exitCode = 0;
    GetExitCodeProcess(self->process_, &exitCode);
    self->handler_(exitCode);
  }

  HANDLE process_;  // the HostProcess's, which outlives the wait
  std::function<void(std::uint32_t exitCode)> handler_;
  HANDLE wait_ = nullptr;
};

std::unique_ptr<HostProcess> HostProcess::Launch(const Options& options, std::string* error) {
  // CreateProcessW would only say "failed : 267" or ": 2", which leaves a user guessing.
  const DWORD attributes = GetFileAttributesW(options.executable.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    if (error != nullptr) *error = "no host executable at " + Utf8(options.executable);
    return nullptr;
  }
  // The host's ends close here when Launch returns: a launched host has its own copies.
  AnonRpc::HostPipes hostPipes;
  ParentEnds parentEnds;
  if (!CreatePipeSet(&hostPipes, &parentEnds))
    return Fail(error, "CreatePipeSet", AnonRpc::LastPipeError());
  const PipeHandles hostValues = hostPipes.Values();
  const std::vector<HANDLE> hostEnds = HostEnds(hostValues);
  for (HANDLE end : hostEnds)
    if (!SetHandleInformation(end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
      return Fail(error, "SetHandleInformation", GetLastError());

  std::wstring commandLine = Quote(options.executable);
  for (const std::wstring& argument :
       options.arguments ? options.arguments(hostValues) : HandleValueArguments(hostValues))
    commandLine += L' ' + Quote(argument);
  const std::wstring directory = options.workingDirectory.empty()
                                     ? std::filesystem::path(options.executable).parent_path()
                                     : std::filesystem::path(options.workingDirectory);

  const InheritList inheritList(hostEnds);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(STARTUPINFOW);
  DWORD flags = CREATE_NO_WINDOW;
  if (inheritList.Get() != nullptr) {
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = inheritList.Get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(options.executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                      nullptr, directory.empty() ? nullptr : directory.c_str(),
                      &startup.StartupInfo, &info)) {
    const DWORD code = GetLastError();
    // The bare code leaves a user guessing that a 32-bit build or a text file was given.
    if (code == ERROR_BAD_EXE_FORMAT || code == ERROR_EXE_MACHINE_TYPE_MISMATCH) {
      if (error != nullptr)
        *error = "CreateProcessW failed : " + std::to_string(code) + " (" +
                 Utf8(options.executable) + " is not a Windows x64 program)";
      return nullptr;
    }
    return Fail(error, "CreateProcessW", code);
  }
  LarkWin::UniqueHandle process(info.hProcess);
  const LarkWin::UniqueHandle firstThread(info.hThread);  // not needed
  return std::unique_ptr<HostProcess>(new HostProcess(std::move(parentEnds), hostValues,
                                                      std::move(process), info.dwProcessId,
                                                      options.executable, options.endBounds));
}

HostProcess::HostProcess(ParentEnds ends, const PipeHandles& hostValues,
                         LarkWin::UniqueHandle process, std::uint32_t processId,
                         std::wstring executable, const EndBounds& endBounds)
    : connection_(std::move(ends)),
      hostValues_(hostValues),
      process_(std::move(process)),
      processId_(processId),
      executable_(std::move(executable)),
      endBounds_(endBounds) {}

HostProcess::~HostProcess() {
  exitWait_.reset();
  // Whatever the handlers use may be gone already (declared after this object); the host
  // learns of the closed pipes and is asked to end all the same.
  connection_.StopHandlers();
  if (!leftToEnd_) End(endBounds_);
  connection_.Close();
}

HostEnding HostProcess::End(const EndBounds& bounds) {
  if (const std::optional<std::uint32_t> code = WaitForExit(std::chrono::milliseconds::zero())) {
    connection_.Close();
    return {EndedBy::Itself, code};
  }
  const auto releaseEnd = std::chrono::steady_clock::now() + bounds.release;
  const bool released = connection_.Call(kReleaseMethod, "", bounds.release).has_value();
  const std::optional<std::uint32_t> code =
      released ? WaitForExit(std::chrono::ceil<std::chrono::milliseconds>(
                     releaseEnd - std::chrono::steady_clock::now()))
               : WaitForExit(std::chrono::milliseconds::zero());
  if (code) {
    connection_.Close();
    return {released ? EndedBy::Release : EndedBy::Itself, code};
  }
  // A host whose main thread is stuck never sees WM_CLOSE, but it sees its pipes close.
  connection_.Close();
  PostCloseToHost(processId_);
  if (const std::optional<std::uint32_t> closed = WaitForExit(bounds.close))
    return {EndedBy::Close, closed};
  Terminate(kTerminatedExitCode);
  return {EndedBy::Termination, WaitForExit(kTerminateWait)};
}

bool HostProcess::LeaveToEnd() {
  leftToEnd_ = true;
  const bool posted = PostCloseToHost(processId_);
  connection_.Close();
  return posted;
}

std::optional<RunningHost> HostProcess::SessionHolder() const {
  if (connection_.Answered()) return std::nullopt;
  for (const RunningHost& host : FindRunningHosts())
    if (host.processId != processId_) return host;
  return std::nullopt;
}

std::string HostProcess::DescribeExit(std::uint32_t exitCode) const {
  if (exitCode == 0)
    if (const std::optional<RunningHost> holder = SessionHolder())
      return "host exited with code 0: another host holds the session: " +
             DescribeRunningHost(*holder);
  return DescribeHostExit(exitCode, processId_, std::filesystem::path(executable_).parent_path());
}

std::optional<std::uint32_t> HostProcess::WaitForExit(std::chrono::milliseconds timeout) {
  const auto milliseconds =
      std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1);
  if (WaitForSingleObject(process_.Get(), static_cast<DWORD>(milliseconds)) != WAIT_OBJECT_0)
    return std::nullopt;
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process_.Get(), &exitCode)) return std::nullopt;
  return exitCode;
}

bool HostProcess::OnExit(std::function<void(std::uint32_t exitCode)> handler) {
  exitWait_.reset();
  if (!handler) return true;
  auto wait = std::make_unique<ExitWait>(process_.Get(), std::move(handler));
  if (!wait->Register()) {
    const DWORD error = GetLastError();
    wait.reset();
    SetLastError(error);
    return false;
  }
  exitWait_ = std::move(wait);
  return true;
}

void HostProcess::Terminate(std::uint32_t exitCode) {
  TerminateProcess(process_.Get(), exitCode);
}

}  // namespace LarkParent
