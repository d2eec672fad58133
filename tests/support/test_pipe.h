#pragma once

#include <gtest/gtest.h>

#include <utility>

#include "rpc/pipe_io.h"
#include "rpc/unique_pipe.h"

namespace lark::test {

// An anonymous pipe whose ends close with the object unless taken.
class TestPipe {
 public:
  explicit TestPipe(std::uint32_t bufferSize = 0) {
    EXPECT_TRUE(AnonRpc::CreatePipePair(&read_, &write_, bufferSize));
  }

  AnonRpc::PipeHandle read() const { return read_.Get(); }
  AnonRpc::PipeHandle write() const { return write_.Get(); }
  AnonRpc::UniquePipe TakeRead() { return std::move(read_); }
  AnonRpc::UniquePipe TakeWrite() { return std::move(write_); }
  AnonRpc::UniquePipe DuplicateWrite() const {
    AnonRpc::UniquePipe copy;
    EXPECT_TRUE(AnonRpc::DuplicatePipe(write_, &copy));
    return copy;
  }
  void CloseRead() { read_.Reset(); }
  void CloseWrite() { write_.Reset(); }

 private:
  AnonRpc::UniquePipe read_;
  AnonRpc::UniquePipe write_;
};

}  // namespace lark::test
