// Arbitrary captures and pipe bytes, binary or hex text, through larkhostctl decode: it prints
// what is whole, ends at the first fault with one reason, and its last line is the heartbeat
// count. A first byte that is no capture's names the pipe of raw bytes; empty input names none.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "tools/capture_file.h"
#include "tools/decode.h"

using namespace Larkhostctl;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<Pipe> pipe;
  if (!bytes.starts_with(kCaptureMagic) && !bytes.empty()) {
    pipe = static_cast<Pipe>(static_cast<std::uint8_t>(bytes[0]) % 5);
    bytes.remove_prefix(1);
  }
  PrintOptions options;
  options.json = size % 2 == 0;
  options.trace = size % 3 == 0;
  options.heartbeats = size % 5 == 0;
  std::istringstream in{std::string(bytes)};
  std::string last, failure;
  const int status = Decode(
      in, "fuzz", pipe, options, [&](std::string_view line) { last = line; }, &failure);
  if ((status == 0) != failure.empty()) __builtin_trap();
  // Only raw bytes without their pipe print nothing: they cannot be read at all.
  if (last.empty() ? pipe || status == 0 : last.find("heartbeats") == std::string::npos)
    __builtin_trap();
  return 0;
}
