#include "tools/capture_file.h"

namespace Larkhostctl {

namespace {

constexpr std::size_t kRecordHeaderBytes = 13;
constexpr int kPipes = 5;

std::uint64_t Get(std::string_view bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  return value;
}

void Put(std::string& out, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out += static_cast<char>(value >> (8 * i));
}

}  // namespace

std::unique_ptr<CaptureWriter> CaptureWriter::Create(const std::filesystem::path& file,
                                                     std::string* error) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out.write(kCaptureMagic.data(), kCaptureMagic.size()).flush()) {
    *error = "cannot write the capture " + file.string();
    return nullptr;
  }
  return std::unique_ptr<CaptureWriter>(new CaptureWriter(std::move(out)));
}

void CaptureWriter::Write(std::chrono::microseconds time, Pipe pipe, std::string_view bytes) {
  std::string record;
  Put(record, static_cast<std::uint64_t>(pipe), 1);
  Put(record, static_cast<std::uint64_t>(time.count()), 8);
  Put(record, bytes.size(), 4);
  record.append(bytes);
  out_.write(record.data(), static_cast<std::streamsize>(record.size())).flush();
}

std::string ReadCapture(std::string_view capture,
                        const std::function<void(const CaptureRecord&)>& record) {
  for (std::size_t at = kCaptureMagic.size(); at < capture.size();) {
    const std::string where = "offset " + std::to_string(at) + ": ";
    const std::size_t left = capture.size() - at;
    if (left < kRecordHeaderBytes)
      return where + "the capture ends inside a record header, " + std::to_string(left) + " of " +
             std::to_string(kRecordHeaderBytes) + " bytes";
    const auto pipe = Get(capture, at, 1);
    const auto length = Get(capture, at + 9, 4);
    if (pipe >= kPipes) return where + "no pipe is numbered " + std::to_string(pipe);
    if (left - kRecordHeaderBytes < length)
      return where + "the capture ends inside a record, " + std::to_string(left) + " of " +
             std::to_string(kRecordHeaderBytes + length) + " bytes";
    record({at, std::chrono::microseconds(Get(capture, at + 1, 8)), static_cast<Pipe>(pipe),
            capture.substr(at + kRecordHeaderBytes, length)});
    at += kRecordHeaderBytes + length;
  }
  return "";
}

}  // namespace Larkhostctl
