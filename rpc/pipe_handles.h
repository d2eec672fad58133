#pragma once

#include "rpc/pipe_io.h"
#include "rpc/unique_pipe.h"

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

// The same six ends, owned: what the host's endpoint is built from.
struct HostPipes {
  UniquePipe fwdReqRead;
  UniquePipe fwdReqWrite;
  UniquePipe fwdResWrite;
  UniquePipe revReqWrite;
  UniquePipe revResRead;
  UniquePipe ntyWrite;

  // Takes ownership of the six values.
  static HostPipes Adopt(const PipeHandles& values) {
    return {UniquePipe(values.fwdReqRead),  UniquePipe(values.fwdReqWrite),
            UniquePipe(values.fwdResWrite), UniquePipe(values.revReqWrite),
            UniquePipe(values.revResRead),  UniquePipe(values.ntyWrite)};
  }
  PipeHandles Values() const {
    return {fwdReqRead.Get(),  fwdReqWrite.Get(), fwdResWrite.Get(),
            revReqWrite.Get(), revResRead.Get(),  ntyWrite.Get()};
  }
};

}  // namespace AnonRpc
