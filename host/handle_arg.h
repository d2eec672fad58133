#pragma once

#include "rpc/pipe_io.h"

namespace LarkHost {

// One handle argument of the command line as its value, or AnonRpc::kInvalidPipe (logging why)
// when it is empty, zero, not a whole decimal number or out of range.
AnonRpc::PipeHandle ParseHandleArg(const char* text, const char* name);

}  // namespace LarkHost
