#pragma once

// How a host's end reads for a person: the parent kit's report of an exit code, naming the
// minidump that a crashed or hung host left. Portable.

#include <cstdint>
#include <filesystem>
#include <string>

#include "protocol/lark_protocol.h"

namespace LarkParent {

using LarkProtocol::kHostHungExitCode;

// Whether the code is one that an exception ends a process with (an NTSTATUS with a severity or
// the customer bit set: a crash, abort(), kHostHungExitCode) rather than one of the host's own
// small exit codes.
inline constexpr bool IsExceptionExitCode(std::uint32_t exitCode) {
  return exitCode >= 0x20000000;
}

// "host exited with code 1" for the host's own exit codes. For an exception code, which a crash
// leaves: "host crashed with 0xC0000005; see LarkRemoteHost_20240302_090503_1234.dmp", naming
// the newest minidump of process `processId` in `hostFolder` (the host's log directory), or
// "host crashed with 0xC0000005; it left no minidump" when there is none (logging was off, or
// the dump could not be written).
// For kHostHungExitCode, from the host's "HangWatchdog" line in its log: "host ended itself after
// LKWINSDK_WEBRTC_DELETE did not return for 30 s; see LarkRemoteHost_20240302_090503_1234.dmp",
// "host ended itself after its shutdown did not finish within 30 s; see ..." when no engine call
// was running, "...; it left no minidump" when the line names none, and "host ended itself with
// 0xC0000194 after its shutdown hung; it left no log line or minidump" without a line (logging
// was off), or "...; see" the newest minidump of the process when there is one.
std::string DescribeHostExit(std::uint32_t exitCode, std::uint32_t processId,
                             const std::filesystem::path& hostFolder);

}  // namespace LarkParent
