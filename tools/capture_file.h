#pragma once

// A capture: every frame that crossed the parent's pipes with its pipe and time, in the order
// they were seen. The file is "LARKCAP1", then one record per frame: the pipe (1 byte: 0
// request, 1 response, 2 reverse request, 3 reverse response, 4 notify), microseconds since the
// launch (8 bytes), the frame's length (4 bytes), its bytes; numbers little-endian.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tools/pipe_stream.h"

namespace Larkhostctl {

inline constexpr std::string_view kCaptureMagic = "LARKCAP1";

// Appends records, each flushed at once so that a capture survives a crash. The caller
// serialises.
class CaptureWriter {
 public:
  // nullptr with the reason when the file cannot be created.
  static std::unique_ptr<CaptureWriter> Create(const std::filesystem::path& file,
                                               std::string* error);
  void Write(std::chrono::microseconds time, Pipe pipe, std::string_view bytes);

 private:
  explicit CaptureWriter(std::ofstream out) : out_(std::move(out)) {}
  std::ofstream out_;
};

struct CaptureRecord {
  std::uint64_t offset = 0;  // of the record in the file
  std::chrono::microseconds time{0};
  Pipe pipe = Pipe::Request;
  std::string_view bytes;
};

// Calls `record` for each record of `capture` (which starts with kCaptureMagic). Returns why
// it stopped before the end ("offset 96: ..."), or an empty text.
std::string ReadCapture(std::string_view capture,
                        const std::function<void(const CaptureRecord&)>& record);

}  // namespace Larkhostctl
