#pragma once

// Turns frames and session events into lines: text for people, or with `json` one JSON object
// per line for scripts. A live session and `decode` print through it, so a capture decodes into
// the lines the session printed. Not thread-safe: the caller serialises.

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tools/pipe_stream.h"

namespace Larkhostctl {

struct PrintOptions {
  bool json = false;
  bool trace = false;       // a hex dump of every frame
  bool heartbeats = false;  // a line for each, instead of a count
};

class FramePrinter {
 public:
  // Microseconds since launch, unsigned as a capture holds them; raw pipe bytes have no time.
  using Time = std::optional<std::chrono::duration<std::uint64_t, std::micro>>;
  using Output = std::function<void(std::string_view line)>;  // a line without its end

  FramePrinter(PrintOptions options, Output out) : options_(options), out_(std::move(out)) {}

  void Print(Time time, const Frame& frame);
  // A session event: `text` for people, `fields` added to {"t":..., "event": name} in JSON.
  void Event(Time time, std::string_view name, const std::string& text,
             nlohmann::ordered_json fields = nlohmann::ordered_json::object());
  int Heartbeats() const { return heartbeats_; }

 private:
  void Emit(Time time, std::string text, nlohmann::ordered_json fields, const std::string& bytes);
  std::string MethodOf(const Frame& frame, std::uint32_t id);

  PrintOptions options_;
  Output out_;
  int heartbeats_ = 0;
  // The method of each request not yet answered, by (reverse, id), to name it in its response.
  std::map<std::pair<bool, std::uint32_t>, std::string> methods_;
};

// "Ok", "MethodNotFound", "ProtocolError", "HandlerError", or "status N".
std::string StatusName(std::uint32_t status);

// Bytes as text in double quotes, with backslashes, control and non-ASCII bytes escaped.
std::string Quoted(std::string_view bytes);

}  // namespace Larkhostctl
