#pragma once

#include "parent/host_connection.h"
#include "rpc/pipe_handles.h"

namespace LarkParent {

// Creates the five anonymous pipes behind the six handles: the host gets both ends of the
// forward request pipe (its read end and a write end to wake itself) and one end of each other
// pipe; the parent keeps the other ends. Nothing is inheritable. On failure nothing stays open
// and both are left empty.
bool CreatePipeSet(AnonRpc::HostPipes* host, ParentEnds* parent);

}  // namespace LarkParent
