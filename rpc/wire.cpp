#include "rpc/wire.h"

#include <cstring>

namespace AnonRpc {

namespace {

void Put32(unsigned char* out, std::uint32_t value) {
  out[0] = static_cast<unsigned char>(value);
  out[1] = static_cast<unsigned char>(value >> 8);
  out[2] = static_cast<unsigned char>(value >> 16);
  out[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t Get32(const unsigned char* in) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

std::uint32_t Length32(std::string_view text) {
  return static_cast<std::uint32_t>(text.size());
}

template <std::size_t N>
std::array<unsigned char, N> Pack(std::initializer_list<std::uint32_t> fields) {
  std::array<unsigned char, N> bytes{};
  unsigned char* out = bytes.data();
  for (std::uint32_t field : fields) {
    Put32(out, field);
    out += 4;
  }
  return bytes;
}

template <std::size_t N>
std::string Frame(const std::array<unsigned char, N>& header,
                  std::initializer_list<std::string_view> parts) {
  std::string frame(reinterpret_cast<const char*>(header.data()), N);
  for (std::string_view part : parts) frame.append(part);
  return frame;
}

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// The one check of a frame header, for the stream readers and the buffer decoders alike: the
// magic, then every length against kMaxFieldBytes.
DecodeResult CheckHeader(std::uint32_t magic, std::uint32_t expected,
                         std::initializer_list<std::uint32_t> lengths) {
  if (magic != expected) return DecodeResult::BadMagic;
  for (std::uint32_t length : lengths)
    if (length > kMaxFieldBytes) return DecodeResult::TooLarge;
  return DecodeResult::Complete;
}

// Shared shape of the three decoders: header, its check, then two or one bodies.
DecodeResult DecodeFrame(std::string_view bytes, std::size_t headerSize, std::uint32_t magic,
                         std::uint32_t firstLength, std::uint32_t secondLength,
                         std::size_t* consumed) {
  if (bytes.size() < headerSize) return DecodeResult::NeedMore;
  const DecodeResult header = CheckHeader(Get32(Bytes(bytes)), magic, {firstLength, secondLength});
  if (header != DecodeResult::Complete) return header;
  const std::size_t total = headerSize + std::size_t{firstLength} + secondLength;
  if (bytes.size() < total) return DecodeResult::NeedMore;
  *consumed = total;
  return DecodeResult::Complete;
}

}  // namespace

FrameHeaderBytes EncodeHeader(const RequestHeader& h) {
  return Pack<kFrameHeaderBytes>({h.magic, h.id, h.methodLength, h.payloadLength});
}
FrameHeaderBytes EncodeHeader(const ResponseHeader& h) {
  return Pack<kFrameHeaderBytes>({h.magic, h.id, h.status, h.bodyLength});
}
NotifyHeaderBytes EncodeHeader(const NotifyHeader& h) {
  return Pack<kNotifyHeaderBytes>({h.magic, h.typeLength, h.payloadLength});
}

RequestHeader DecodeRequestHeader(const FrameHeaderBytes& b) {
  return {Get32(&b[0]), Get32(&b[4]), Get32(&b[8]), Get32(&b[12])};
}
ResponseHeader DecodeResponseHeader(const FrameHeaderBytes& b) {
  return {Get32(&b[0]), Get32(&b[4]), Get32(&b[8]), Get32(&b[12])};
}
NotifyHeader DecodeNotifyHeader(const NotifyHeaderBytes& b) {
  return {Get32(&b[0]), Get32(&b[4]), Get32(&b[8])};
}

std::string EncodeRequest(std::uint32_t id, std::string_view method, std::string_view payload) {
  return Frame(EncodeHeader(RequestHeader{kRequestMagic, id, Length32(method), Length32(payload)}),
               {method, payload});
}

std::string EncodeResponse(std::uint32_t id, RpcStatus status, std::string_view body) {
  return Frame(EncodeHeader(ResponseHeader{kResponseMagic, id, static_cast<std::uint32_t>(status),
                                           Length32(body)}),
               {body});
}

std::string EncodeNotification(std::string_view type, std::string_view payload) {
  return Frame(EncodeHeader(NotifyHeader{kNotifyMagic, Length32(type), Length32(payload)}),
               {type, payload});
}

DecodeResult DecodeRequest(std::string_view bytes, Request* out, std::size_t* consumed) {
  FrameHeaderBytes header{};
  if (bytes.size() >= kFrameHeaderBytes) std::memcpy(header.data(), bytes.data(), header.size());
  const RequestHeader h = DecodeRequestHeader(header);
  const DecodeResult result = DecodeFrame(bytes, kFrameHeaderBytes, kRequestMagic, h.methodLength,
                                          h.payloadLength, consumed);
  if (result == DecodeResult::Complete) {
    out->id = h.id;
    out->method.assign(bytes.substr(kFrameHeaderBytes, h.methodLength));
    out->payload.assign(bytes.substr(kFrameHeaderBytes + h.methodLength, h.payloadLength));
  }
  return result;
}

DecodeResult DecodeResponse(std::string_view bytes, Response* out, std::size_t* consumed) {
  FrameHeaderBytes header{};
  if (bytes.size() >= kFrameHeaderBytes) std::memcpy(header.data(), bytes.data(), header.size());
  const ResponseHeader h = DecodeResponseHeader(header);
  const DecodeResult result =
      DecodeFrame(bytes, kFrameHeaderBytes, kResponseMagic, h.bodyLength, 0, consumed);
  if (result == DecodeResult::Complete) {
    out->id = h.id;
    out->status = h.status;
    out->body.assign(bytes.substr(kFrameHeaderBytes, h.bodyLength));
  }
  return result;
}

DecodeResult DecodeNotification(std::string_view bytes, Notification* out, std::size_t* consumed) {
  NotifyHeaderBytes header{};
  if (bytes.size() >= kNotifyHeaderBytes) std::memcpy(header.data(), bytes.data(), header.size());
  const NotifyHeader h = DecodeNotifyHeader(header);
  const DecodeResult result =
      DecodeFrame(bytes, kNotifyHeaderBytes, kNotifyMagic, h.typeLength, h.payloadLength, consumed);
  if (result == DecodeResult::Complete) {
    out->type.assign(bytes.substr(kNotifyHeaderBytes, h.typeLength));
    out->payload.assign(bytes.substr(kNotifyHeaderBytes + h.typeLength, h.payloadLength));
  }
  return result;
}

bool WriteAll(PipeHandle handle, const void* data, std::uint32_t length) {
  const char* bytes = static_cast<const char*>(data);
  std::uint32_t written = 0;
  while (written < length) {
    std::uint32_t n = 0;
    if (!PipeWrite(handle, bytes + written, length - written, &n) || n == 0) return false;
    written += n;
  }
  return true;
}

namespace {

// Repeats the read for what is left; a failed read or end of pipe fails.
bool ReadInto(PipeHandle handle, void* data, std::uint32_t n) {
  char* bytes = static_cast<char*>(data);
  std::uint32_t got = 0;
  while (got < n) {
    std::uint32_t chunk = 0;
    if (!PipeRead(handle, bytes + got, n - got, &chunk) || chunk == 0) return false;
    got += chunk;
  }
  return true;
}

}  // namespace

bool ReadExact(PipeHandle handle, std::uint32_t n, std::string& out) {
  out.clear();
  if (n == 0) return true;
  if (n > kMaxFieldBytes) return false;
  out.resize(n);
  return ReadInto(handle, out.data(), n);
}

bool ReadHeader(PipeHandle handle, FrameHeaderBytes& bytes) {
  return ReadInto(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

bool WriteHeader(PipeHandle handle, const FrameHeaderBytes& bytes) {
  return WriteAll(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

namespace {

ReadStatus StatusOf(DecodeResult header) {
  switch (header) {
    case DecodeResult::BadMagic:
      return ReadStatus::BadMagic;
    case DecodeResult::TooLarge:
      return ReadStatus::TooLarge;
    default:
      return ReadStatus::Ok;
  }
}

}  // namespace

ResponseRead ReadResponseFrame(PipeHandle handle) {
  ResponseRead read;
  FrameHeaderBytes bytes;
  if (!ReadHeader(handle, bytes)) return read;
  const ResponseHeader header = DecodeResponseHeader(bytes);
  read.response.id = header.id;
  read.response.status = header.status;
  read.status = StatusOf(CheckHeader(header.magic, kResponseMagic, {header.bodyLength}));
  if (read.status != ReadStatus::Ok) return read;
  if (!ReadExact(handle, header.bodyLength, read.response.body))
    read.status = ReadStatus::PipeFailed;
  return read;
}

std::optional<Response> ReadResponse(PipeHandle handle) {
  ResponseRead read = ReadResponseFrame(handle);
  if (read.status != ReadStatus::Ok) return std::nullopt;
  return std::move(read.response);
}

RequestRead ReadRequestFrame(PipeHandle handle) {
  RequestRead read;
  FrameHeaderBytes bytes;
  if (!ReadHeader(handle, bytes)) return read;
  const RequestHeader header = DecodeRequestHeader(bytes);
  read.request.id = header.id;
  read.status = StatusOf(
      CheckHeader(header.magic, kRequestMagic, {header.methodLength, header.payloadLength}));
  if (read.status != ReadStatus::Ok) return read;
  if (!ReadExact(handle, header.methodLength, read.request.method) ||
      !ReadExact(handle, header.payloadLength, read.request.payload))
    read.status = ReadStatus::PipeFailed;
  return read;
}

std::optional<Request> ReadRequest(PipeHandle handle) {
  RequestRead read = ReadRequestFrame(handle);
  if (read.status != ReadStatus::Ok) return std::nullopt;
  return std::move(read.request);
}

NotificationRead ReadNotificationFrame(PipeHandle handle) {
  NotificationRead read;
  NotifyHeaderBytes bytes;
  if (!ReadInto(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()))) return read;
  const NotifyHeader header = DecodeNotifyHeader(bytes);
  read.status =
      StatusOf(CheckHeader(header.magic, kNotifyMagic, {header.typeLength, header.payloadLength}));
  if (read.status != ReadStatus::Ok) return read;
  if (!ReadExact(handle, header.typeLength, read.notification.type) ||
      !ReadExact(handle, header.payloadLength, read.notification.payload))
    read.status = ReadStatus::PipeFailed;
  return read;
}

std::optional<Notification> ReadNotification(PipeHandle handle) {
  NotificationRead read = ReadNotificationFrame(handle);
  if (read.status != ReadStatus::Ok) return std::nullopt;
  return std::move(read.notification);
}

bool WriteResponse(PipeHandle handle, std::uint32_t id, RpcStatus status, std::string_view body) {
  const ResponseHeader header{kResponseMagic, id, static_cast<std::uint32_t>(status),
                              Length32(body)};
  return WriteHeader(handle, EncodeHeader(header)) && WriteAll(handle, body);
}

bool WriteRequest(PipeHandle handle, std::uint32_t id, std::string_view method,
                  std::string_view payload) {
  const RequestHeader header{kRequestMagic, id, Length32(method), Length32(payload)};
  return WriteHeader(handle, EncodeHeader(header)) && WriteAll(handle, method) &&
         WriteAll(handle, payload);
}

}  // namespace AnonRpc
