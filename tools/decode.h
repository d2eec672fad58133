#pragma once

#include <filesystem>
#include <istream>
#include <optional>
#include <string>

#include "tools/frame_printer.h"

namespace Larkhostctl {

// larkhostctl decode: prints the frames of a capture, or of one pipe's raw bytes (binary, or
// hex digits with any white space between them), as a session prints them, then the heartbeat
// count. `pipe` names the pipe of raw bytes and, for a capture, keeps only that pipe. Returns
// the exit status; a malformed frame ends the output and is reported on standard error with its
// offset. The file is read a piece at a time, so its size is not bounded by memory.
int Decode(const std::filesystem::path& file, std::optional<Pipe> pipe,
           const PrintOptions& options);

// The same over a seekable stream `name`d in messages: the lines go to `out`, and the one line
// of a failure, without "larkhostctl: ", to `failure` (left alone without one).
int Decode(std::istream& in, const std::string& name, std::optional<Pipe> pipe,
           const PrintOptions& options, const FramePrinter::Output& out, std::string* failure);

}  // namespace Larkhostctl
