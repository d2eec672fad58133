#pragma once

// Runs a command-line program of the build as a user would, with its standard input given and
// its standard output and error collected.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace lark::test {

struct ToolResult {
  std::uint32_t exitCode = 0;
  std::string out;
  std::string err;
};

// Arguments are UTF-8 and must not hold double quotes. A program still running after `limit`
// is terminated and the test fails.
inline ToolResult RunTool(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments, const std::string& input = "",
                          std::chrono::seconds limit = std::chrono::seconds(120)) {
  std::wstring commandLine = L"\"" + program.wstring() + L"\"";
  for (const std::string& argument : arguments) {
    EXPECT_EQ(argument.find('"'), std::string::npos) << argument;
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, argument.data(),
                                          static_cast<int>(argument.size()), nullptr, 0),
                      L'\0');
    MultiByteToWideChar(CP_UTF8, 0, argument.data(), static_cast<int>(argument.size()), wide.data(),
                        static_cast<int>(wide.size()));
    commandLine += L" \"" + wide + L"\"";
  }
  // The child's ends are inheritable, ours are not.
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE ends[3][2] = {};  // stdin, stdout, stderr: read and write end
  for (auto& pipe : ends) EXPECT_TRUE(CreatePipe(&pipe[0], &pipe[1], &inheritable, 0));
  SetHandleInformation(ends[0][1], HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(ends[1][0], HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(ends[2][0], HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ends[0][0];
  startup.hStdOutput = ends[1][1];
  startup.hStdError = ends[2][1];
  PROCESS_INFORMATION process{};
  const bool started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  EXPECT_TRUE(started) << "CreateProcessW failed : " << GetLastError();
  for (HANDLE childEnd : {ends[0][0], ends[1][1], ends[2][1]}) CloseHandle(childEnd);

  ToolResult result;
  const auto drain = [](HANDLE from, std::string& to) {
    return std::thread([from, &to] {
      char buffer[4096];
      DWORD got = 0;
      while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0)
        to.append(buffer, got);
    });
  };
  std::thread out = drain(ends[1][0], result.out);
  std::thread err = drain(ends[2][0], result.err);
  DWORD written = 0;
  WriteFile(ends[0][1], input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  CloseHandle(ends[0][1]);
  if (started) {
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(limit);
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(milliseconds.count())) !=
        WAIT_OBJECT_0) {
      ADD_FAILURE() << program << " still ran after " << limit.count() << " s";
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exitCode = code;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  out.join();
  err.join();
  CloseHandle(ends[1][0]);
  CloseHandle(ends[2][0]);
  return result;
}

}  // namespace lark::test
