#include "tools/decode.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>

#include "tools/capture_file.h"
#include "tools/command.h"

namespace Larkhostctl {

namespace {

// What is read at once: frames print as their last byte arrives, and memory stays small.
constexpr std::size_t kPieceBytes = 64 * 1024;

bool IsHexOrBlank(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) ||
         std::isspace(static_cast<unsigned char>(c));
}

// Hex digits and white space, a piece at a time: the bytes they spell.
class HexText {
 public:
  // The bytes of `text`'s digits in `bytes`; at the first character that is neither a digit
  // nor white space, those before it and false, with what it is in `error`.
  bool Add(std::string_view text, std::string* bytes, std::string* error) {
    bytes->clear();
    for (char c : text) {
      const auto at = read_++;
      if (std::isspace(static_cast<unsigned char>(c))) continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) {
        *error = "offset " + std::to_string(at) + " of the hex text: " + Quoted({&c, 1}) +
                 " is neither a hex digit nor white space";
        return false;
      }
      const int digit = std::isdigit(static_cast<unsigned char>(c))
                            ? c - '0'
                            : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
      if (high_ < 0) {
        high_ = digit;
      } else {
        bytes->push_back(static_cast<char>(high_ << 4 | digit));
        high_ = -1;
      }
    }
    return true;
  }
  bool InsideAByte() const { return high_ >= 0; }

 private:
  std::uint64_t read_ = 0;
  int high_ = -1;  // the first digit of a byte whose second has not come yet
};

void PrintLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

}  // namespace

int Decode(const std::filesystem::path& file, std::optional<Pipe> pipe,
           const PrintOptions& options) {
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  const int openError = errno;
  std::string failure;
  int status = 1;
  std::error_code ignored;
  if (in.is_open() && !std::filesystem::is_directory(file, ignored))
    status = Decode(in, file.string(), pipe, options, PrintLine, &failure);
  else
    failure = "cannot read " + file.string() + ": " + OpenFailure(file, openError);
  std::fflush(stdout);
  if (!failure.empty()) std::fprintf(stderr, "larkhostctl: %s\n", failure.c_str());
  return status;
}

int Decode(std::istream& in, const std::string& name, std::optional<Pipe> pipe,
           const PrintOptions& options, const FramePrinter::Output& out, std::string* failure) {
  std::string piece(kCaptureMagic.size(), '\0');
  in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
  piece.resize(static_cast<std::size_t>(in.gcount()));
  const bool capture = piece == kCaptureMagic;
  if (!capture && !pipe) {
    *failure = name + " is no capture; name the pipe its bytes crossed with --pipe";
    return 1;
  }

  FramePrinter printer(options, out);
  std::map<Pipe, PipeStream> streams;
  std::string error;  // the first, with its pipe's name in a capture
  const auto feed = [&](FramePrinter::Time time, Pipe from, std::string_view bytes) {
    PipeStream& stream = streams.try_emplace(from, from).first->second;
    stream.Append(bytes);
    while (std::optional<Frame> frame = stream.Next()) printer.Print(time, *frame);
    if (!stream.Error().empty() && error.empty())
      error = (capture ? std::string(PipeName(from)) + " pipe, " : "") + stream.Error();
  };

  if (capture) {
    in.clear();
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::uint64_t>(in.tellg());
    in.seekg(static_cast<std::streamoff>(kCaptureMagic.size()));
    CaptureReader reader(in, size);
    while (error.empty()) {
      const std::optional<CaptureRecord> record = reader.Next();
      if (!record) break;
      if (pipe && record->pipe != *pipe) continue;
      for (std::string_view bytes; error.empty() && !(bytes = reader.Read(kPieceBytes)).empty();)
        feed(record->time, record->pipe, bytes);
    }
    if (error.empty()) error = reader.Error();
  } else {
    // A frame's magic holds letters that are no hex digits, so binary frames never read as hex
    // text: the first bytes tell which it is.
    bool hex = true;
    for (std::size_t i = 0; i < piece.size() && i < 4; ++i) hex = hex && IsHexOrBlank(piece[i]);
    HexText text;
    std::string bytes;
    std::uint64_t read = 0;
    for (;;) {
      read += piece.size();
      if (!hex) {
        feed(std::nullopt, *pipe, piece);
      } else {
        std::string textError;
        const bool whole = text.Add(piece, &bytes, &textError);
        feed(std::nullopt, *pipe, bytes);  // what the digits before the fault spell
        if (!whole && error.empty()) error = textError;
      }
      if (!error.empty() || !in) break;
      piece.resize(kPieceBytes);
      in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
      piece.resize(static_cast<std::size_t>(in.gcount()));
    }
    if (error.empty() && in.bad())
      error = "reading failed after " + std::to_string(read) + " bytes";
    if (error.empty() && text.InsideAByte()) error = "the hex text has an odd number of digits";
  }
  for (auto& [from, stream] : streams) {
    stream.EndOfInput();
    if (error.empty() && !stream.Error().empty())
      error = (capture ? std::string(PipeName(from)) + " pipe, " : "") + stream.Error();
  }
  printer.Event(std::nullopt, "heartbeats", "heartbeats: " + std::to_string(printer.Heartbeats()),
                {{"count", printer.Heartbeats()}});
  if (error.empty()) return 0;
  *failure = name + ": " + error;
  return 1;
}

}  // namespace Larkhostctl
