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
#include "rpc/pipe_handles.h"
#include "win/unique_handle.h"

namespace LarkParent {

// One launched host. Owns the process handle and, through Connection(), the parent's five pipe
// ends; the host's six ends are closed in this process once the host has its own copies, so the
// parent sees end of pipe when the host goes. Used from one thread, apart from Connection(),
// which follows HostConnection's rules. Destruction closes the connection, gives the host
// exitGrace to leave on its own, then terminates it with kTerminatedExitCode; it never waits
// much longer than exitGrace. Another thread that starts programs with plain handle inheritance
// while Launch runs can pass them the host's ends as well, so such threads should use handle
// lists of their own.
class HostProcess {
 public:
  struct Options {
    std::wstring executable;  // path of LarkRemoteHost.exe
    // The command-line arguments after the program name, from the host's six handle values.
    // Empty: their six decimal values in order fwdReqRead, fwdReqWrite, fwdResWrite,
    // revReqWrite, revResRead, ntyWrite. Tests set it to pass bad arguments.
    std::function<std::vector<std::wstring>(const AnonRpc::PipeHandles&)> arguments;
    std::wstring workingDirectory;  // empty: the executable's directory
    std::chrono::milliseconds exitGrace = std::chrono::seconds(10);  // see the destructor
  };

  // The exit code of a host that the destructor had to terminate.
  static constexpr std::uint32_t kTerminatedExitCode = 0xDEAD;

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
  // The last resort: ends the host at once without its orderly shutdown.
  void Terminate(std::uint32_t exitCode);

 private:
  HostProcess(ParentEnds ends, const AnonRpc::PipeHandles& hostValues,
              LarkWin::UniqueHandle process, std::uint32_t processId,
              std::chrono::milliseconds exitGrace);

  HostConnection connection_;
  AnonRpc::PipeHandles hostValues_;
  LarkWin::UniqueHandle process_;
  std::uint32_t processId_;
  std::chrono::milliseconds exitGrace_;
};

}  // namespace LarkParent
