#pragma once

#include <filesystem>
#include <optional>

#include "tools/frame_printer.h"

namespace Larkhostctl {

// larkhostctl decode: prints the frames of a capture, or of one pipe's raw bytes (binary, or
// hex digits with any white space between them), as a session prints them, then the heartbeat
// count. `pipe` names the pipe of raw bytes and, for a capture, keeps only that pipe. Returns
// the exit status; a malformed frame ends the output and is reported on standard error with its
// offset.
int Decode(const std::filesystem::path& file, std::optional<Pipe> pipe,
           const PrintOptions& options);

}  // namespace Larkhostctl
