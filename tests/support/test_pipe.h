#pragma once

#include <gtest/gtest.h>

#include <utility>

#include "rpc/pipe_io.h"

namespace lark::test {

// An anonymous pipe whose ends close with the object unless taken.
class TestPipe {
 public:
  explicit TestPipe(std::uint32_t bufferSize = 0) {
    EXPECT_TRUE(AnonRpc::CreatePipePair(&read_, &write_, bufferSize));
  }
  ~TestPipe() {
    AnonRpc::PipeClose(read_);
    AnonRpc::PipeClose(write_);
  }
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;

  AnonRpc::PipeHandle read() const { return read_; }
  AnonRpc::PipeHandle write() const { return write_; }
  AnonRpc::PipeHandle TakeRead() { return std::exchange(read_, AnonRpc::kInvalidPipe); }
  AnonRpc::PipeHandle TakeWrite() { return std::exchange(write_, AnonRpc::kInvalidPipe); }
  AnonRpc::PipeHandle DuplicateWrite() const {
    AnonRpc::PipeHandle copy = AnonRpc::kInvalidPipe;
    EXPECT_TRUE(AnonRpc::DuplicatePipe(write_, &copy));
    return copy;
  }
  void CloseRead() { AnonRpc::PipeClose(TakeRead()); }
  void CloseWrite() { AnonRpc::PipeClose(TakeWrite()); }

 private:
  AnonRpc::PipeHandle read_ = AnonRpc::kInvalidPipe;
  AnonRpc::PipeHandle write_ = AnonRpc::kInvalidPipe;
};

}  // namespace lark::test
