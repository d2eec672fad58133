#pragma once

// The hosts that run in this session, found by their window (class "RemoteHostMainWnd", title
// "RemoteHost"), and the sure end of a host. Windows only.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace LarkParent {

// The exit code of a host that had to be terminated.
inline constexpr std::uint32_t kTerminatedExitCode = 0xDEAD;

// How long each step of a sure end waits for the host to exit. The defaults leave room for the
// host's own shutdown watchdog, which ends a host whose shutdown hangs 30 s after it was asked to
// end, once it has written its minidump.
struct EndBounds {
  std::chrono::milliseconds release{45000};  // for the answer to "Release" and the exit after it
  std::chrono::milliseconds close{45000};    // after WM_CLOSE
};

// How a host ended.
enum class EndedBy {
  Itself,       // it had gone before it was asked, or went without answering
  Release,      // after "Release" was answered
  Close,        // after WM_CLOSE (and, for a launched host, its pipes closed)
  Termination,  // TerminateProcess with kTerminatedExitCode, the last resort
};

struct HostEnding {
  EndedBy by = EndedBy::Itself;
  // nullopt only when a terminated host had still not gone after a few seconds more.
  std::optional<std::uint32_t> exitCode;
};

// "by itself", "after Release", "after WM_CLOSE", "terminated".
const char* EndedByText(EndedBy by);

struct RunningHost {
  std::uint32_t processId = 0;
  std::string started;  // local time, "2026-12-08 15:01:02"; empty when it cannot be read
};

// The hosts with a window in this session, in process id order.
std::vector<RunningHost> FindRunningHosts();

// "process 1234, started 2026-12-08 15:01:02".
std::string DescribeRunningHost(const RunningHost& host);

// Posts WM_CLOSE to the window of the host with this process id; false when it has none.
bool PostCloseToHost(std::uint32_t processId);

// Ends a host that this process did not launch, which only its window can ask to end ("Release"
// needs the pipes that its parent holds): WM_CLOSE, up to `closeBound` for it to exit, then
// TerminateProcess. A host without a window (one that hangs after its window has gone, say) is
// given the same time to end itself. nullopt, with the reason in `error`, when the process cannot
// be opened or does not run LarkRemoteHost.exe. `executable`, if not null, is set to the path
// of the host's program (the folder of its log and minidumps).
std::optional<HostEnding> EndRunningHost(std::uint32_t processId,
                                         std::chrono::milliseconds closeBound, std::string* error,
                                         std::filesystem::path* executable = nullptr);

}  // namespace LarkParent
