#pragma once

// The bytes that cross the six pipes: three frame kinds, little-endian packed headers, and the
// read/write loops shared by the server, the caller, the sender and the parent kit.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "rpc/pipe_io.h"

namespace AnonRpc {

inline constexpr std::uint32_t kRequestMagic = 0x51455241;   // "AREQ"
inline constexpr std::uint32_t kResponseMagic = 0x53455241;  // "ARES"
inline constexpr std::uint32_t kNotifyMagic = 0x59544E41;    // "ANTY"

// Bounds every field a reader allocates: a request's method and payload, a response body, a
// notification's type and payload.
inline constexpr std::uint32_t kMaxFieldBytes = 4194304;

inline constexpr std::size_t kFrameHeaderBytes = 16;
inline constexpr std::size_t kNotifyHeaderBytes = 12;

enum class RpcStatus : std::uint32_t {
  Ok = 0,
  MethodNotFound = 1,
  ProtocolError = 2,
  HandlerError = 3,
};

struct RequestHeader {
  std::uint32_t magic = kRequestMagic;
  std::uint32_t id = 0;
  std::uint32_t methodLength = 0;
  std::uint32_t payloadLength = 0;
};

struct ResponseHeader {
  std::uint32_t magic = kResponseMagic;
  std::uint32_t id = 0;
  std::uint32_t status = 0;
  std::uint32_t bodyLength = 0;
};

struct NotifyHeader {
  std::uint32_t magic = kNotifyMagic;
  std::uint32_t typeLength = 0;
  std::uint32_t payloadLength = 0;
};

using FrameHeaderBytes = std::array<unsigned char, kFrameHeaderBytes>;
using NotifyHeaderBytes = std::array<unsigned char, kNotifyHeaderBytes>;

FrameHeaderBytes EncodeHeader(const RequestHeader& header);
FrameHeaderBytes EncodeHeader(const ResponseHeader& header);
NotifyHeaderBytes EncodeHeader(const NotifyHeader& header);
RequestHeader DecodeRequestHeader(const FrameHeaderBytes& bytes);
ResponseHeader DecodeResponseHeader(const FrameHeaderBytes& bytes);
NotifyHeader DecodeNotifyHeader(const NotifyHeaderBytes& bytes);

// Whole frames as bytes, for the parent kit, tests and tools.
std::string EncodeRequest(std::uint32_t id, std::string_view method, std::string_view payload);
std::string EncodeResponse(std::uint32_t id, RpcStatus status, std::string_view body);
std::string EncodeNotification(std::string_view type, std::string_view payload);

struct Request {
  std::uint32_t id = 0;
  std::string method;
  std::string payload;
};
struct Response {
  std::uint32_t id = 0;
  std::uint32_t status = 0;
  std::string body;
};
struct Notification {
  std::string type;
  std::string payload;
};

// Decoding from a byte buffer, for the fuzz target and for readers of recorded streams.
// Complete: a frame was decoded and `consumed` bytes were used. NeedMore: the buffer ends
// inside a frame. BadMagic / TooLarge: the stream cannot go on.
enum class DecodeResult { Complete, NeedMore, BadMagic, TooLarge };
DecodeResult DecodeRequest(std::string_view bytes, Request* out, std::size_t* consumed);
DecodeResult DecodeResponse(std::string_view bytes, Response* out, std::size_t* consumed);
DecodeResult DecodeNotification(std::string_view bytes, Notification* out, std::size_t* consumed);

// Writes the whole buffer, repeating the write for what is left; a failed or empty write fails.
// Lengths are 32-bit: a length of 0 writes nothing and succeeds.
bool WriteAll(PipeHandle handle, const void* data, std::uint32_t length);
inline bool WriteAll(PipeHandle handle, std::string_view data) {
  return WriteAll(handle, data.data(), static_cast<std::uint32_t>(data.size()));
}

// Reads exactly n bytes into out (emptied first). n 0 succeeds without reading; n above
// kMaxFieldBytes fails without reading; a failed read or end of pipe fails.
bool ReadExact(PipeHandle handle, std::uint32_t n, std::string& out);

// The 16-byte header loops.
bool ReadHeader(PipeHandle handle, FrameHeaderBytes& bytes);
bool WriteHeader(PipeHandle handle, const FrameHeaderBytes& bytes);

// Reads one frame: the host reads the parent's requests and answers this way, the parent the
// host's answers, calls and notifications. A field announced above kMaxFieldBytes is never
// allocated. nullopt: the pipe failed (or ended), the magic was wrong or a field too large.
std::optional<Response> ReadResponse(PipeHandle handle);
std::optional<Request> ReadRequest(PipeHandle handle);
std::optional<Notification> ReadNotification(PipeHandle handle);

// A frame read from a stream, or why there is none, for a reader that answers or reports a bad
// frame: with TooLarge nothing after the header was read (of a request, only its id is known).
enum class ReadStatus { Ok, PipeFailed, BadMagic, TooLarge };
struct RequestRead {
  ReadStatus status = ReadStatus::PipeFailed;
  Request request;
};
RequestRead ReadRequestFrame(PipeHandle handle);
struct ResponseRead {
  ReadStatus status = ReadStatus::PipeFailed;
  Response response;
};
ResponseRead ReadResponseFrame(PipeHandle handle);
struct NotificationRead {
  ReadStatus status = ReadStatus::PipeFailed;
  Notification notification;
};
NotificationRead ReadNotificationFrame(PipeHandle handle);

// Writes a frame as header then body, the way the host's server and caller do.
bool WriteResponse(PipeHandle handle, std::uint32_t id, RpcStatus status, std::string_view body);
bool WriteRequest(PipeHandle handle, std::uint32_t id, std::string_view method,
                  std::string_view payload);

}  // namespace AnonRpc
