#include "parent/host_process.h"
#include "support/bin_directory.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/bounded.h"
#include "support/host_session.h"
#include "win/unique_handle.h"

namespace LarkParent {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 30s;

using lark::test::BinDirectory;
using lark::test::Inbox;

// tests/support/fake_host.cpp: one exchange, then the exit its request's payload asks for.
HostProcess::Options FakeHost() {
  HostProcess::Options options;
  options.executable = (BinDirectory() / "fake_host.exe").wstring();
  return options;
}

void Connect(HostProcess& host, Inbox& inbox) {
  inbox.Attach(host.Connection(), {{"Ping", CallResult{0, "pong"}}});
}

// The inbox must outlive the host.
std::unique_ptr<HostProcess> LaunchConnected(const HostProcess::Options& options, Inbox& inbox) {
  std::string error;
  std::unique_ptr<HostProcess> host = HostProcess::Launch(options, &error);
  EXPECT_NE(host, nullptr) << error;
  if (host) Connect(*host, inbox);
  return host;
}

// A handle of our own on the host's process, to read its exit code after the HostProcess is gone.
struct ProcessWatch {
  explicit ProcessWatch(std::uint32_t id)
      : handle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id)) {}
  std::optional<DWORD> ExitCode() const {
    DWORD code = 0;
    if (!handle || WaitForSingleObject(handle.Get(), 0) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(handle.Get(), &code))
      return std::nullopt;
    return code;
  }
  LarkWin::UniqueHandle handle;
};

// GetProcessHandleCount reads 0 under Wine, so the handles of this (small) process are counted
// by probing their values.
std::size_t OpenHandleCount() {
  std::size_t count = 0;
  DWORD flags = 0;
  for (std::uintptr_t value = 4; value < 0x10000; value += 4)
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  return count;
}

TEST(HostProcess, CallNotificationAndReverseCallCrossTheSixPipes) {
  Inbox inbox;
  std::unique_ptr<HostProcess> host = LaunchConnected(FakeHost(), inbox);
  ASSERT_NE(host, nullptr);
  EXPECT_NE(host->ProcessId(), 0u);

  const std::optional<CallResult> answer = host->Connection().Call("Echo", "7", kWait);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->status, 0u);
  EXPECT_EQ(answer->body, "7");
  ASSERT_TRUE(inbox.WaitForNote("hello"));
  EXPECT_EQ(inbox.notes[0].second.payload, "from-child");
  ASSERT_TRUE(inbox.WaitUntil([&] { return !inbox.reverseCalls.empty(); }));
  EXPECT_EQ(inbox.reverseCalls[0], "Ping ping");
  // 7 also tells that the host got "pong" back.
  EXPECT_EQ(host->WaitForExit(kWait), std::optional<std::uint32_t>(7));
}

// The exit reaches the handler without a wait of the caller's; a handler set after the exit
// runs at once.
TEST(HostProcess, OnExitRunsTheHandlerWithTheExitCode) {
  Inbox inbox;
  std::unique_ptr<HostProcess> host = LaunchConnected(FakeHost(), inbox);
  ASSERT_NE(host, nullptr);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::uint32_t> seen;
  const auto record = [&](std::uint32_t code) {
    std::lock_guard lock(mutex);
    seen.push_back(code);
    changed.notify_all();
  };
  const auto seenCount = [&](std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kWait, [&] { return seen.size() >= count; });
  };
  ASSERT_TRUE(host->OnExit(record));
  ASSERT_TRUE(host->Connection().Call("Echo", "7", kWait).has_value());
  ASSERT_TRUE(seenCount(1));
  ASSERT_TRUE(host->OnExit(record));
  ASSERT_TRUE(seenCount(2));
  ASSERT_TRUE(host->OnExit(nullptr));  // waits for a handler that still runs
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{7, 7}));
}

TEST(HostProcess, HostEndsAreClosedInTheParent) {
  Inbox inbox;
  std::string error;
  std::unique_ptr<HostProcess> host = HostProcess::Launch(FakeHost(), &error);
  ASSERT_NE(host, nullptr) << error;
  // Checked before the connection's threads start: a new thread handle could reuse a value.
  const AnonRpc::PipeHandles& values = host->HostHandleValues();
  for (AnonRpc::PipeHandle value : {values.fwdReqRead, values.fwdReqWrite, values.fwdResWrite,
                                    values.revReqWrite, values.revResRead, values.ntyWrite}) {
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) << value;
  }
  Connect(*host, inbox);

  ASSERT_TRUE(host->Connection().Call("Echo", "0", kWait).has_value());
  ASSERT_EQ(host->WaitForExit(kWait), std::optional<std::uint32_t>(0));
  // With the host gone the response pipe ends; had the parent kept a write end of it, this
  // call would wait out its whole time-out.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(host->Connection().Call("Echo", "again", 2 * kWait).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, kWait);
}

TEST(HostProcess, HostInheritsNoOtherHandle) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
  const LarkWin::UniqueHandle read(readEnd);
  LarkWin::UniqueHandle write(writeEnd);
  Inbox inbox;
  std::unique_ptr<HostProcess> host = LaunchConnected(FakeHost(), inbox);
  ASSERT_NE(host, nullptr);

  // The host runs (it waits for a request), so had it inherited the write end as well, the
  // pipe would not end here.
  write.Reset();
  DWORD available = 0;
  EXPECT_FALSE(PeekNamedPipe(read.Get(), nullptr, 0, nullptr, &available, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_EQ(host->WaitForExit(0ms), std::nullopt);
  EXPECT_TRUE(host->Connection().Call("Echo", "0", kWait).has_value());
  EXPECT_EQ(host->WaitForExit(kWait), std::optional<std::uint32_t>(0));
}

TEST(HostProcess, LaunchFailureSaysWhyAndLeavesNothingOpen) {
  const std::filesystem::path missing = BinDirectory() / "no_such_host.exe";
  const std::filesystem::path notAProgram =
      std::filesystem::temp_directory_path() /
      ("not-a-program-" + std::to_string(GetCurrentProcessId()) + ".exe");
  std::ofstream(notAProgram) << "text";
  struct Case {
    std::filesystem::path executable;
    std::string error;  // its start
  };
  for (const Case& c : {Case{missing, "no host executable at " + missing.string()},
                        Case{notAProgram, "CreateProcessW failed : 193 (" + notAProgram.string() +
                                              " is not a Windows x64 program)"}}) {
    SCOPED_TRACE(c.executable.string());
    HostProcess::Options options;
    options.executable = c.executable.wstring();
    std::string error;
    EXPECT_EQ(HostProcess::Launch(options, &error), nullptr);  // the first also warms up the loader
    EXPECT_EQ(error.substr(0, c.error.size()), c.error);

    const std::size_t before = OpenHandleCount();
    EXPECT_EQ(HostProcess::Launch(options, nullptr), nullptr);
    EXPECT_EQ(OpenHandleCount(), before);
  }
  std::filesystem::remove(notAProgram);
}

TEST(HostProcess, ArgumentsReachTheHostAsGiven) {
  // The fake host exits with 100 + its argument count when they are not six handles.
  auto exitCodeFor = [](std::vector<std::wstring> arguments) -> std::optional<std::uint32_t> {
    HostProcess::Options options = FakeHost();
    AnonRpc::PipeHandles passed;
    options.arguments = [&](const AnonRpc::PipeHandles& handles) {
      passed = handles;
      return arguments;
    };
    std::string error;
    std::unique_ptr<HostProcess> host = HostProcess::Launch(options, &error);
    EXPECT_NE(host, nullptr) << error;
    if (!host) return std::nullopt;
    EXPECT_EQ(passed.ntyWrite, host->HostHandleValues().ntyWrite);
    EXPECT_EQ(passed.fwdReqRead, host->HostHandleValues().fwdReqRead);
    return host->WaitForExit(kWait);
  };
  EXPECT_EQ(exitCodeFor({L"1 2 3 4 5 6"}), std::optional<std::uint32_t>(101));
  EXPECT_EQ(exitCodeFor({L"a b", L"", L"tail\\", L"q\"uo\\\"te"}),
            std::optional<std::uint32_t>(104));
  EXPECT_EQ(exitCodeFor({}), std::optional<std::uint32_t>(100));
}

// Launches the fake host and has it make its exchange, after which it behaves as `payload` says.
std::unique_ptr<HostProcess> LaunchExchanged(const std::string& payload, Inbox& inbox,
                                             const EndBounds& endBounds = {}) {
  HostProcess::Options options = FakeHost();
  options.endBounds = endBounds;
  std::unique_ptr<HostProcess> host = LaunchConnected(options, inbox);
  if (host) {
    EXPECT_TRUE(host->Connection().Call("Echo", payload, kWait).has_value());
    EXPECT_TRUE(inbox.WaitForNote("done"));
  }
  return host;
}

// The fake host never answers "Release" and has no window: "linger" leaves once its pipes
// close, "stay" only when terminated.
TEST(HostProcess, EndSaysHowTheHostEnded) {
  struct Case {
    std::string payload;
    EndedBy by;
    std::uint32_t exitCode;
  };
  const EndBounds shortBounds{500ms, 500ms};
  for (const Case& c : {Case{"0", EndedBy::Itself, 0}, Case{"linger", EndedBy::Close, 9},
                        Case{"stay", EndedBy::Termination, HostProcess::kTerminatedExitCode}}) {
    SCOPED_TRACE(c.payload);
    Inbox inbox;
    std::unique_ptr<HostProcess> host = LaunchExchanged(c.payload, inbox);
    ASSERT_NE(host, nullptr);
    if (c.by == EndedBy::Itself) {
      ASSERT_TRUE(host->WaitForExit(kWait).has_value());
    }
    // "linger" is given the whole time it needs; "stay" runs into both bounds.
    const EndBounds bounds = c.by == EndedBy::Close ? EndBounds{500ms, kWait} : shortBounds;
    HostEnding ending;
    lark::test::ReturnsWithin(
        60s, [&] { ending = host->End(bounds); }, "HostProcess::End");
    EXPECT_EQ(ending.by, c.by);
    EXPECT_EQ(ending.exitCode, std::optional<std::uint32_t>(c.exitCode));
    // It answered, so a 0 is no duplicate's.
    EXPECT_EQ(host->DescribeExit(c.exitCode),
              "host exited with code " + std::to_string(c.exitCode));
  }
}

TEST(HostProcess, DestructionEndsAHostThatStays) {
  Inbox inbox;
  std::unique_ptr<HostProcess> host = LaunchExchanged("stay", inbox, {300ms, 300ms});
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->WaitForExit(200ms), std::nullopt);
  const ProcessWatch watch(host->ProcessId());
  lark::test::ReturnsWithin(
      60s, [&] { host.reset(); }, "~HostProcess");
  EXPECT_EQ(watch.ExitCode(), std::optional<DWORD>(HostProcess::kTerminatedExitCode));
}

TEST(HostProcess, LeftToEndTheHostIsNeitherWaitedForNorTerminated) {
  Inbox inbox;
  std::unique_ptr<HostProcess> host = LaunchExchanged("stay", inbox);
  ASSERT_NE(host, nullptr);
  const LarkWin::UniqueHandle process(
      OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, host->ProcessId()));
  ASSERT_TRUE(process);
  EXPECT_FALSE(host->LeaveToEnd());  // the fake host has no window
  // With the default bounds, a destructor that waited would take 90 s.
  lark::test::ReturnsWithin(
      60s, [&] { host.reset(); }, "~HostProcess");
  EXPECT_EQ(WaitForSingleObject(process.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  TerminateProcess(process.Get(), 5);
  EXPECT_EQ(WaitForSingleObject(process.Get(), 30000), static_cast<DWORD>(WAIT_OBJECT_0));
}

}  // namespace
}  // namespace LarkParent
