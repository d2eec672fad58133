#pragma once

// How a host's end reads for a person: the parent kit's report of an exit code, naming the
// minidump that a crashed host left. Portable.

#include <cstdint>
#include <filesystem>
#include <string>

namespace LarkParent {

// "host exited with code 1" for the host's own exit codes. For an exception code, which a crash
// leaves: "host crashed with 0xC0000005; see LarkRemoteHost_20240302_090503_1234.dmp", naming
// the newest minidump of process `processId` in `hostFolder` (the host's log directory), or
// "host crashed with 0xC0000005; it left no minidump" when there is none (logging was off, or
// the dump could not be written).
std::string DescribeHostExit(std::uint32_t exitCode, std::uint32_t processId,
                             const std::filesystem::path& hostFolder);

}  // namespace LarkParent
