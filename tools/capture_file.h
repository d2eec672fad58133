#pragma once

// A capture: every frame that crossed the parent's pipes with its pipe and time, in the order
// they were seen. The file is "LARKCAP1", then one record per frame: the pipe (1 byte: 0
// request, 1 response, 2 reverse request, 3 reverse response, 4 notify), microseconds since the
// launch (8 bytes), the frame's length (4 bytes), its bytes; numbers little-endian.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <istream>
#include <memory>
#include <optional>
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
  std::chrono::duration<std::uint64_t, std::micro> time{0};
  Pipe pipe = Pipe::Request;
  std::uint32_t length = 0;  // of its bytes
};

// Reads a capture record by record, and a record's bytes a piece at a time, so that a capture of
// any size is read in little memory. Not thread-safe.
class CaptureReader {
 public:
  // `in` is positioned right after the capture's kCaptureMagic; the capture has `size` bytes.
  CaptureReader(std::istream& in, std::uint64_t size) : in_(in), size_(size) {}

  // The next record, after skipping what Read left of the one before; nullopt at the end, or
  // where the capture cannot be read on, which Error then says.
  std::optional<CaptureRecord> Next();
  // The next piece of the current record's bytes, at most `most` bytes; empty once they are all
  // read (or cannot be: see Error).
  std::string_view Read(std::size_t most);
  // Why the capture cannot be read on ("offset 96: ..."); empty while it can.
  const std::string& Error() const { return error_; }

 private:
  std::istream& in_;
  std::uint64_t size_;
  std::uint64_t at_ = kCaptureMagic.size();  // the offset of the stream's position
  std::uint64_t recordEnd_ = kCaptureMagic.size();
  std::string piece_;
  std::string error_;
};

}  // namespace Larkhostctl
