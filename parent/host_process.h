#pragma once

// Starts LarkRemoteHost.exe on six fresh pipes and keeps the parent's side of them. Windows only.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "parent/host_connection.h"
#include "parent/running_hosts.h"
#include "rpc/pipe_handles.h"
#include "win/unique_handle.h"

namespace LarkParent {

// One launched host. Owns the process handle and, through Connection(), the parent's five pipe
// ends; the host's six ends are closed in this process once the host has its own copies, so the
// parent sees end of pipe when the host goes. Used from one thread, apart from Connection(),
// which follows HostConnection's rules. Another thread that starts programs with plain handle
// inheritance while Launch runs can pass them the host's ends as well, so such threads should use
// handle lists of their own.
//
// Ending the host, two ways:
// - For sure, and waiting for it: End(), which the destructor runs with Options::endBounds,
//   after it has stopped the connection's handlers (no handler runs once the destructor has
//   begun; its state need not outlive this object).
//   "Release", and up to EndBounds::release for its answer and the exit; then WM_CLOSE with the
//   pipes closed, and up to EndBounds::close for the exit; only then TerminateProcess. The
//   default bounds are long enough for the host's own shutdown watchdog, which ends a host whose
//   shutdown hangs (an engine call that never returns) 30 s after it was asked to end, with
//   kHostHungExitCode (host_exit.h) and a minidump that DescribeExit names. The whole end takes at
//   most the two bounds and a few seconds more.
// - Without waiting, for a plug-in that must not wait that long at its own exit: LeaveToEnd(),
//   which posts the host WM_CLOSE, closes the pipes and lets the host end on its own; the
//   destructor then neither waits nor terminates.
class HostProcess {
 public:
  struct Options {
    std::wstring executable;  // path of LarkRemoteHost.exe
    // The command-line arguments after the program name, from the host's six handle values.
    // Empty: their six decimal values in order fwdReqRead, fwdReqWrite, fwdResWrite,
    // revReqWrite, revResRead, ntyWrite. Tests set it to pass bad arguments.
    std::function<std::vector<std::wstring>(const AnonRpc::PipeHandles&)> arguments;
    std::wstring workingDirectory;  // empty: the executable's directory
    EndBounds endBounds;            // the destructor's End
  };

  // The exit code of a host that had to be terminated.
  static constexpr std::uint32_t kTerminatedExitCode = LarkParent::kTerminatedExitCode;

  // Starts the host, with handle inheritance restricted to its six ends where the system
  // supports it, and returns it running; the connection is not started yet. On failure returns
  // nullptr with nothing left open and, if error is not null, sets it to a text: "no host
  // executable at " and the path (UTF-8) when no such file exists, otherwise such as
  // "CreateProcessW failed : 193" (the system error in decimal).
  static std::unique_ptr<HostProcess> Launch(const Options& options, std::string* error);

  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Register Serve and OnNotification, then Start().
  HostConnection& Connection() { return connection_; }
  // The values passed on the command line; they are no longer open in this process.
  const AnonRpc::PipeHandles& HostHandleValues() const { return hostValues_; }
  std::uint32_t ProcessId() const { return processId_; }

  // The exit code, or nullopt if the host still runs after the time-out.
  std::optional<std::uint32_t> WaitForExit(std::chrono::milliseconds timeout);
  // Runs the handler once with the exit code when the host has exited, on a thread of the
  // system's pool; at once if it has exited already. Another call (an empty handler to stop) and
  // the destructor first wait for a handler that runs to return, so the handler must call neither;
  // once the destructor has begun, no handler starts. False, with nothing registered, when the
  // system cannot wait for the host (GetLastError says why).
  bool OnExit(std::function<void(std::uint32_t exitCode)> handler);
  // The last resort: ends the host at once without its orderly shutdown.
  void Terminate(std::uint32_t exitCode);

  // Ends the host for sure (see above) and says how it ended; the connection is closed after.
  // The connection must have been started. A host that has gone already is left as it is.
  HostEnding End(const EndBounds& bounds = {});
  // Posts WM_CLOSE to the host's window and closes the connection; the host ends on its own.
  // False when the host had no window to post to (its pipes closing still asks it to end).
  bool LeaveToEnd();

  // Why the host ended, for a person: DescribeHostExit's text with the host's folder as its log
  // directory, unless the host ended with 0 before it answered anything while another host runs
  // in this session, which is what keeps a second host from starting: "host exited with code 0:
  // another host holds the session: process 1234, started 2026-12-08 15:01:02".
  std::string DescribeExit(std::uint32_t exitCode) const;
  // That other host, when the host ended so.
  std::optional<RunningHost> SessionHolder() const;

 private:
  HostProcess(ParentEnds ends, const AnonRpc::PipeHandles& hostValues,
              LarkWin::UniqueHandle process, std::uint32_t processId, std::wstring executable,
              const EndBounds& endBounds);

  class ExitWait;

  HostConnection connection_;
  AnonRpc::PipeHandles hostValues_;
  LarkWin::UniqueHandle process_;
  std::uint32_t processId_;
  std::wstring executable_;
  EndBounds endBounds_;
  bool leftToEnd_ = false;
  std::unique_ptr<ExitWait> exitWait_;  // while OnExit's handler is set
};

}  // namespace LarkParent
