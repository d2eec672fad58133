#include "tools/pipe_stream.h"

#include <array>
#include <cstdio>
#include <utility>

namespace Larkhostctl {

using namespace AnonRpc;

namespace {

constexpr std::array<std::string_view, 5> kPipeNames = {"request", "response", "reverse-request",
                                                        "reverse-response", "notify"};

enum class Kind { Request, Response, Notification };

Kind KindOf(Pipe pipe) {
  switch (pipe) {
    case Pipe::Request:
    case Pipe::ReverseRequest:
      return Kind::Request;
    case Pipe::Response:
    case Pipe::ReverseResponse:
      return Kind::Response;
    case Pipe::Notify:
      break;
  }
  return Kind::Notification;
}

std::size_t HeaderSize(Kind kind) {
  return kind == Kind::Notification ? kNotifyHeaderBytes : kFrameHeaderBytes;
}

// The header's four little-endian fields; those past the end of a short buffer read as 0.
std::array<std::uint32_t, 4> HeaderFields(std::string_view bytes) {
  std::array<std::uint32_t, 4> fields{};
  for (std::size_t i = 0; i < fields.size() * 4 && i < bytes.size(); ++i)
    fields[i / 4] |= std::uint32_t{static_cast<unsigned char>(bytes[i])} << (8 * (i % 4));
  return fields;
}

std::uint64_t FrameSize(Kind kind, std::string_view bytes) {
  const auto f = HeaderFields(bytes);
  switch (kind) {
    case Kind::Request:
      return kFrameHeaderBytes + std::uint64_t{f[2]} + f[3];
    case Kind::Response:
      return kFrameHeaderBytes + std::uint64_t{f[3]};
    case Kind::Notification:
      break;
  }
  return kNotifyHeaderBytes + std::uint64_t{f[1]} + f[2];
}

template <typename Content>
DecodeResult DecodeAs(std::string_view bytes, Content content, Frame* frame, std::size_t* used,
                      DecodeResult (*decode)(std::string_view, Content*, std::size_t*)) {
  const DecodeResult result = decode(bytes, &content, used);
  if (result == DecodeResult::Complete) frame->content = std::move(content);
  return result;
}

}  // namespace

std::string_view PipeName(Pipe pipe) {
  return kPipeNames[static_cast<std::size_t>(pipe)];
}

std::optional<Pipe> PipeNamed(std::string_view name) {
  for (std::size_t i = 0; i < kPipeNames.size(); ++i)
    if (kPipeNames[i] == name) return static_cast<Pipe>(i);
  return std::nullopt;
}

void PipeStream::Append(std::string_view bytes) {
  buffer_.erase(0, start_);
  start_ = 0;
  buffer_.append(bytes);
}

std::optional<Frame> PipeStream::Next() {
  if (!error_.empty()) return std::nullopt;
  const std::string_view pending = Pending();
  Frame frame{pipe_, {}, {}};
  std::size_t used = 0;
  DecodeResult result = DecodeResult::NeedMore;
  switch (KindOf(pipe_)) {
    case Kind::Request:
      result = DecodeAs(pending, Request{}, &frame, &used, DecodeRequest);
      break;
    case Kind::Response:
      result = DecodeAs(pending, Response{}, &frame, &used, DecodeResponse);
      break;
    case Kind::Notification:
      result = DecodeAs(pending, Notification{}, &frame, &used, DecodeNotification);
      break;
  }
  if (result == DecodeResult::NeedMore) return std::nullopt;
  if (result != DecodeResult::Complete) {
    Malformed(result);
    return std::nullopt;
  }
  frame.bytes = pending.substr(0, used);
  start_ += used;
  consumed_ += used;
  return frame;
}

void PipeStream::Malformed(DecodeResult result) {
  const Kind kind = KindOf(pipe_);
  const std::string_view pending = Pending();
  error_ = "offset " + std::to_string(consumed_) + ": ";
  if (result == DecodeResult::BadMagic) {
    static constexpr std::string_view kMagic[] = {"AREQ", "ARES", "ANTY"};
    static constexpr std::string_view kKind[] = {"request", "response", "notification"};
    std::string shown;
    for (std::size_t i = 0; i < 4; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x",
                    static_cast<unsigned char>(pending[i]));
      shown += hex;
    }
    error_ += "bad magic " + shown + "; a " + std::string(kKind[static_cast<int>(kind)]) +
              " frame starts with \"" + std::string(kMagic[static_cast<int>(kind)]) + "\"";
    return;
  }
  // Too large: the first length field above the limit.
  const auto f = HeaderFields(pending);
  const auto first = [&f](const char* name, std::size_t at, const char* nextName) {
    return f[at] > kMaxFieldBytes ? std::pair(name, f[at]) : std::pair(nextName, f[at + 1]);
  };
  std::pair<const char*, std::uint32_t> field("body", f[3]);
  if (kind == Kind::Request) field = first("method", 2, "payload");
  if (kind == Kind::Notification) field = first("type", 1, "payload");
  error_ += std::string(field.first) + " length " + std::to_string(field.second) +
            " is above the limit of " + std::to_string(kMaxFieldBytes) + " bytes";
}

void PipeStream::EndOfInput() {
  const std::string_view pending = Pending();
  if (!error_.empty() || pending.empty()) return;
  const Kind kind = KindOf(pipe_);
  const std::string where = "offset " + std::to_string(consumed_) + ": the input ends inside a ";
  if (pending.size() < HeaderSize(kind)) {
    error_ = where + "frame header, " + std::to_string(pending.size()) + " of " +
             std::to_string(HeaderSize(kind)) + " bytes";
  } else {
    error_ = where + "frame, " + std::to_string(pending.size()) + " of " +
             std::to_string(FrameSize(kind, pending)) + " bytes";
  }
}

}  // namespace Larkhostctl
