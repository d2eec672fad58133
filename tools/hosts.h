#pragma once

// larkhostctl hosts and larkhostctl stop: the hosts of this session, whoever launched them.

#include <chrono>
#include <cstdint>

namespace Larkhostctl {

// Prints one line per running host, "process 1234, started 2026-12-08 15:01:02", or "no host
// runs in this session". Returns 0.
int ListHosts();

// Ends the host with this process id as `stop` does (its help says how); prints how it ended.
// Returns 0 once it has gone, 1 when it is no host or could not be ended.
int StopHost(std::uint32_t processId, std::chrono::milliseconds closeBound);

}  // namespace Larkhostctl
