#include "tools/decode.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>

#include "tools/capture_file.h"

namespace Larkhostctl {

namespace {

int Failure(const std::string& message) {
  std::fprintf(stderr, "larkhostctl: %s\n", message.c_str());
  return 1;
}

// Hex digits and white space only: the bytes they spell. A frame's magic holds letters that are
// no hex digits, so binary frames never read as hex text.
std::optional<std::string> FromHexText(std::string_view text) {
  std::string bytes, digits;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    digits += c;
  }
  if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
  for (std::size_t i = 0; i < digits.size(); i += 2)
    bytes += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  return bytes;
}

}  // namespace

int Decode(const std::filesystem::path& file, std::optional<Pipe> pipe,
           const PrintOptions& options) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Failure("cannot read " + file.string());
  const std::string content(std::istreambuf_iterator<char>(in), {});
  FramePrinter printer(options, [](std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  });
  std::map<Pipe, PipeStream> streams;
  const bool capture = content.compare(0, kCaptureMagic.size(), kCaptureMagic) == 0;
  std::string error;  // the first, with its pipe's name in a capture
  const auto feed = [&](FramePrinter::Time time, Pipe from, std::string_view bytes) {
    PipeStream& stream = streams.try_emplace(from, from).first->second;
    stream.Append(bytes);
    while (std::optional<Frame> frame = stream.Next()) printer.Print(time, *frame);
    if (!stream.Error().empty() && error.empty())
      error = (capture ? std::string(PipeName(from)) + " pipe, " : "") + stream.Error();
  };

  if (capture) {
    const std::string cut = ReadCapture(content, [&](const CaptureRecord& record) {
      if (error.empty() && (!pipe || record.pipe == *pipe))
        feed(record.time, record.pipe, record.bytes);
    });
    if (error.empty() && !cut.empty()) error = cut;
  } else if (!pipe) {
    return Failure(file.string() + " is no capture; name the pipe its bytes crossed with --pipe");
  } else {
    const std::optional<std::string> hex = FromHexText(content);
    feed(std::nullopt, *pipe, hex ? *hex : content);
  }
  for (auto& [from, stream] : streams) {
    stream.EndOfInput();
    if (error.empty() && !stream.Error().empty())
      error = (capture ? std::string(PipeName(from)) + " pipe, " : "") + stream.Error();
  }
  printer.Event(std::nullopt, "heartbeats", "heartbeats: " + std::to_string(printer.Heartbeats()),
                {{"count", printer.Heartbeats()}});
  std::fflush(stdout);
  return error.empty() ? 0 : Failure(file.string() + ": " + error);
}

}  // namespace Larkhostctl
