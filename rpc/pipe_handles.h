#pragma once

#include "rpc/pipe_io.h"

namespace AnonRpc {

// The six pipe handle values in command-line order.
struct PipeHandles {
  PipeHandle fwdReqRead = kInvalidPipe;
  PipeHandle fwdReqWrite = kInvalidPipe;
  PipeHandle fwdResWrite = kInvalidPipe;
  PipeHandle revReqWrite = kInvalidPipe;
  PipeHandle revResRead = kInvalidPipe;
  PipeHandle ntyWrite = kInvalidPipe;
};

}  // namespace AnonRpc
