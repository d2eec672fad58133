#include "tools/frame_printer.h"

#include <cstdio>
#include <iterator>

#include "parent/host_protocol.h"

namespace Larkhostctl {

using namespace AnonRpc;
using json = nlohmann::ordered_json;

namespace {

// Requests whose answers may still come: a pipe of requests alone (the raw bytes of one pipe,
// a capture of a host that answers none) takes no more memory than these.
constexpr std::size_t kRememberedMethods = 65536;

// "[%9.3f] " of the seconds, in whole numbers: a double has no room for every millisecond of
// 2^64 microseconds.
std::string TimeText(FramePrinter::Time time) {
  if (!time) return "";
  const std::uint64_t microseconds = time->count();
  const std::uint64_t milliseconds = microseconds / 1000 + (microseconds % 1000 >= 500 ? 1 : 0);
  const std::string fraction = std::to_string(milliseconds % 1000);
  std::string text =
      std::to_string(milliseconds / 1000) + '.' + std::string(3 - fraction.size(), '0') + fraction;
  return "[" + std::string(text.size() < 9 ? 9 - text.size() : 0, ' ') + text + "] ";
}

// Sixteen bytes a line: offset, bytes in hex, the printable ones as text.
std::string HexDump(std::string_view bytes) {
  std::string dump;
  for (std::size_t line = 0; line < bytes.size(); line += 16) {
    char text[16];
    std::snprintf(text, sizeof text, "      %04x ", static_cast<unsigned>(line));
    std::string hex = text, shown;
    for (std::size_t i = line; i < line + 16; ++i) {
      if (i % 8 == 0) hex += ' ';
      if (i >= bytes.size()) {
        hex += "   ";
        continue;
      }
      const auto byte = static_cast<unsigned char>(bytes[i]);
      std::snprintf(text, sizeof text, "%02x ", byte);
      hex += text;
      shown += byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.';
    }
    dump += (line == 0 ? "" : "\n") + hex + ' ' + shown;
  }
  return dump;
}

std::string HexString(std::string_view bytes) {
  std::string hex;
  for (unsigned char byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  return hex;
}

}  // namespace

std::string StatusName(std::uint32_t status) {
  static constexpr const char* kNames[] = {"Ok", "MethodNotFound", "ProtocolError", "HandlerError"};
  return status < std::size(kNames) ? kNames[status] : "status " + std::to_string(status);
}

std::string Quoted(std::string_view bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out + '"';
}

std::string FramePrinter::MethodOf(const Frame& frame, std::uint32_t id) {
  const auto found = methods_.find({frame.pipe == Pipe::ReverseResponse, id});
  if (found == methods_.end()) return "";
  std::string method = std::move(found->second);
  methods_.erase(found);
  return method;
}

void FramePrinter::Print(Time time, const Frame& frame) {
  const std::string pipe(PipeName(frame.pipe));
  const bool fromHost = frame.pipe == Pipe::Response || frame.pipe == Pipe::ReverseRequest ||
                        frame.pipe == Pipe::Notify;
  std::string text = (fromHost ? "<- " : "-> ") + pipe + ' ';
  json fields = {{"pipe", pipe}};
  if (const auto* request = std::get_if<Request>(&frame.content)) {
    methods_[{frame.pipe == Pipe::ReverseRequest, request->id}] = request->method;
    // Ids count up: the smallest belongs to the oldest request, which no answer will name now.
    if (methods_.size() > kRememberedMethods) methods_.erase(methods_.begin());
    text +=
        '#' + std::to_string(request->id) + ' ' + request->method + ' ' + Quoted(request->payload);
    fields.update(
        {{"id", request->id}, {"method", request->method}, {"payload", request->payload}});
  } else if (const auto* response = std::get_if<Response>(&frame.content)) {
    const std::string method = MethodOf(frame, response->id);
    text += '#' + std::to_string(response->id) + ' ' + (method.empty() ? "" : method + ": ") +
            StatusName(response->status) + ' ' + Quoted(response->body);
    fields.update({{"id", response->id},
                   {"status", response->status},
                   {"status_name", StatusName(response->status)},
                   {"body", response->body}});
    if (!method.empty()) fields["method"] = method;
  } else {
    const auto& note = std::get<Notification>(frame.content);
    const bool heartbeat = LarkParent::IsHeartbeat(note);
    if (heartbeat) {
      ++heartbeats_;
      if (!options_.heartbeats) return;
    }
    text += note.type + ' ' + Quoted(note.payload) + (heartbeat ? " (heartbeat)" : "");
    fields.update({{"type", note.type}, {"payload", note.payload}, {"heartbeat", heartbeat}});
  }
  Emit(time, std::move(text), std::move(fields), frame.bytes);
}

void FramePrinter::Event(Time time, std::string_view name, const std::string& text, json fields) {
  json event = {{"event", name}};
  event.update(fields);
  Emit(time, text, std::move(event), {});
}

void FramePrinter::Emit(Time time, std::string text, json fields, const std::string& bytes) {
  const bool dump = options_.trace && !bytes.empty();
  if (!options_.json) {
    out_(TimeText(time) + text);
    if (dump) out_(HexDump(bytes));
    return;
  }
  json line = json::object();
  if (time) line["t"] = static_cast<double>(time->count()) / 1e6;
  line.update(fields);
  if (dump) line["hex"] = HexString(bytes);
  // Bytes that are not UTF-8 cannot stand in a JSON string as they are; --trace has them exact.
  out_(line.dump(-1, ' ', false, json::error_handler_t::replace));
}

}  // namespace Larkhostctl
