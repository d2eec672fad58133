#pragma once

// The shared half of SetWriteRaceForTesting, for the platforms' pipe writes.

#include "rpc/pipe_io.h"

namespace AnonRpc {

// The race armed for this write, counting it among the writes to skip; kNone when none is due.
// Only for writes of a thread bound to a PipeCancel.
WriteRaceForTesting TakeWriteRace();

}  // namespace AnonRpc
