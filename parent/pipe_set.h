#pragma once

#include "parent/host_connection.h"
#include "rpc/pipe_handles.h"

namespace LarkParent {

// Creates the five anonymous pipes behind the six handles: the host gets both ends of the
// forward request pipe (its read end and a write end to wake itself) and one end of each other
// pipe; the parent keeps the other ends. Nothing is inheritable. On failure nothing stays open.
bool CreatePipeSet(AnonRpc::PipeHandles* host, ParentEnds* parent);

void ClosePipeSet(AnonRpc::PipeHandles& host);
void ClosePipeSet(ParentEnds& parent);

}  // namespace LarkParent
