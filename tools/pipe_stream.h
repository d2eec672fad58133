#pragma once

// Cuts the bytes of one pipe into frames as the reader at its end would, and says where and why
// a stream cannot be read on. Live frames and recorded or raw bytes all pass through it, so that
// they print the same.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "parent/host_connection.h"
#include "rpc/wire.h"

namespace Larkhostctl {

using LarkParent::Pipe;

// The pipe's name on the command line and in output: "request", "reverse-response", ...
std::string_view PipeName(Pipe pipe);
std::optional<Pipe> PipeNamed(std::string_view name);

struct Frame {
  Pipe pipe = Pipe::Request;
  std::string bytes;
  std::variant<AnonRpc::Request, AnonRpc::Response, AnonRpc::Notification> content;
};

class PipeStream {
 public:
  explicit PipeStream(Pipe pipe) : pipe_(pipe) {}

  void Append(std::string_view bytes);
  // The next whole frame; nullopt when it needs more bytes or the stream is malformed.
  std::optional<Frame> Next();
  // Once no more bytes will come: a frame cut short at the end becomes the error.
  void EndOfInput();
  // Why the stream cannot be read on ("offset 21: bad magic ..."); empty while it can.
  const std::string& Error() const { return error_; }

 private:
  void Malformed(AnonRpc::DecodeResult result);
  std::string_view Pending() const { return std::string_view(buffer_).substr(start_); }

  Pipe pipe_;
  // Bytes not yet cut into frames start at start_: frames are cut off the front by moving it,
  // and the buffer drops what they used only when more bytes come, so each byte moves once.
  std::string buffer_;
  std::size_t start_ = 0;
  std::uint64_t consumed_ = 0;  // the stream offset of the first pending byte
  std::string error_;
};

}  // namespace Larkhostctl
