#pragma once

// Runs a command-line program of the build as a user would, with its standard input given and
// its standard output and error collected; or starts it, to interrupt or kill it on the way.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "rpc/pipe_io.h"
#include "rpc/pipe_thread.h"
#include "win/unique_handle.h"

namespace lark::test {

struct ToolResult {
  std::uint32_t exitCode = 0;
  std::string out;
  std::string err;
};

// A program started with its standard input given (then closed) and its output collected.
// Arguments are UTF-8 and must not hold double quotes. With `ownConsole` it runs in a console of
// its own, which Interrupt sends Ctrl-C to.
class RunningTool {
 public:
  RunningTool(const std::filesystem::path& program, const std::vector<std::string>& arguments,
              const std::string& input = "", bool ownConsole = false) {
    std::wstring commandLine = L"\"" + program.wstring() + L"\"";
    for (const std::string& argument : arguments) {
      EXPECT_EQ(argument.find('"'), std::string::npos) << argument;
      std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, argument.data(),
                                            static_cast<int>(argument.size()), nullptr, 0),
                        L'\0');
      MultiByteToWideChar(CP_UTF8, 0, argument.data(), static_cast<int>(argument.size()),
                          wide.data(), static_cast<int>(wide.size()));
      commandLine += L" \"" + wide + L"\"";
    }
    // The child's ends are inheritable, ours are not.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    LarkWin::UniqueHandle ends[3][2];  // stdin, stdout, stderr: read and write end
    for (auto& pipe : ends) {
      HANDLE read = nullptr;
      HANDLE write = nullptr;
      EXPECT_TRUE(CreatePipe(&read, &write, &inheritable, 0));
      pipe[0].Reset(read);
      pipe[1].Reset(write);
    }
    SetHandleInformation(ends[0][1].Get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(ends[1][0].Get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(ends[2][0].Get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ends[0][0].Get();
    startup.hStdOutput = ends[1][1].Get();
    startup.hStdError = ends[2][1].Get();
    PROCESS_INFORMATION started{};
    const bool created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                        ownConsole ? CREATE_NEW_CONSOLE : CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &started);
    EXPECT_TRUE(created) << "CreateProcessW failed : " << GetLastError();
    process_.Reset(started.hProcess);
    processId_ = started.dwProcessId;
    const LarkWin::UniqueHandle mainThread(started.hThread);  // never used
    // The child has its own copies of its ends now.
    ends[0][0].Reset();
    ends[1][1].Reset();
    ends[2][1].Reset();
    Drain(outReader_, std::move(ends[1][0]), result_.out);
    Drain(errReader_, std::move(ends[2][0]), result_.err);
    DWORD written = 0;
    WriteFile(ends[0][1].Get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    ends[0][1].Reset();
  }
  ~RunningTool() {
    if (process_) TerminateProcess(process_.Get(), 1);
    Finish();
  }
  RunningTool(const RunningTool&) = delete;
  RunningTool& operator=(const RunningTool&) = delete;

  // The first match of `pattern` in its standard output (its first group, if it has one) once
  // there is one; empty when none came within `limit`.
  std::string WaitForOutput(const std::regex& pattern, std::chrono::seconds limit) {
    std::smatch match;
    std::unique_lock lock(outputLock_);
    outputCame_.wait_for(lock, limit, [&] {
      return std::regex_search(result_.out, match, pattern) || outputEnded_;
    });
    if (!std::regex_search(result_.out, match, pattern)) return "";
    return match[match.size() > 1 ? 1 : 0].str();
  }

  // Ctrl-C, as a user at its console types it.
  void Interrupt() {
    // This process joins the console for the moment, and lets the event pass by.
    static const bool passBy = SetConsoleCtrlHandler(PassBy, TRUE);
    EXPECT_TRUE(passBy);
    FreeConsole();
    ASSERT_TRUE(AttachConsole(processId_)) << GetLastError();
    EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    FreeConsole();
  }

  void Kill() { EXPECT_TRUE(TerminateProcess(process_.Get(), 1)); }

  // Waits for it to end; one still running after `limit` is terminated and the test fails.
  ToolResult Finish(std::chrono::seconds limit = std::chrono::seconds(120)) {
    if (process_) {
      const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(limit);
      if (WaitForSingleObject(process_.Get(), static_cast<DWORD>(milliseconds.count())) !=
          WAIT_OBJECT_0) {
        ADD_FAILURE() << "the program still ran after " << limit.count() << " s";
        TerminateProcess(process_.Get(), 1);
        WaitForSingleObject(process_.Get(), INFINITE);
      }
      DWORD code = 0;
      GetExitCodeProcess(process_.Get(), &code);
      result_.exitCode = code;
      process_.Reset();
    }
    // What the program wrote is in the pipes by now; only a holder of a write end keeps them open.
    if (outReader_.Joinable()) outReader_.Join(kDrainGrace);
    if (errReader_.Joinable()) errReader_.Join(kDrainGrace);
    std::lock_guard lock(outputLock_);
    return result_;
  }

 private:
  static BOOL WINAPI PassBy(DWORD) { return TRUE; }

  // Reads until the pipe ends or the read is cancelled: a process the program started, such as
  // the desktop process Wine starts for the first window of a session, may hold its write end.
  void Drain(AnonRpc::PipeThread& reader, LarkWin::UniqueHandle from, std::string& to) {
    reader.Start([this, from = std::make_shared<LarkWin::UniqueHandle>(std::move(from)), &to] {
      char buffer[4096];
      std::uint32_t got = 0;
      while (AnonRpc::PipeRead(reinterpret_cast<AnonRpc::PipeHandle>(from->Get()), buffer,
                               sizeof buffer, &got) &&
             got > 0) {
        std::lock_guard lock(outputLock_);
        to.append(buffer, got);
        outputCame_.notify_all();
      }
      from->Reset();
      std::lock_guard lock(outputLock_);
      if (&to == &result_.out) outputEnded_ = true;
      outputCame_.notify_all();
    });
  }

  LarkWin::UniqueHandle process_;  // empty once it has ended, or if it never started
  DWORD processId_ = 0;
  std::mutex outputLock_;
  std::condition_variable outputCame_;
  ToolResult result_;
  bool outputEnded_ = false;
  static constexpr std::chrono::seconds kDrainGrace{5};
  AnonRpc::PipeThread outReader_, errReader_;
};

// Runs it to its end. A program still running after `limit` is terminated and the test fails.
inline ToolResult RunTool(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments, const std::string& input = "",
                          std::chrono::seconds limit = std::chrono::seconds(120)) {
  return RunningTool(program, arguments, input).Finish(limit);
}

}  // namespace lark::test
