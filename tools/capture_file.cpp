#include "tools/capture_file.h"

#include <algorithm>
#include <cerrno>

#include "tools/command.h"

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
  errno = 0;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  const int openError = errno;
  if (!out.write(kCaptureMagic.data(), kCaptureMagic.size()).flush()) {
    *error = "cannot write the capture " + file.string() + ": " + OpenFailure(file, openError);
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

std::optional<CaptureRecord> CaptureReader::Next() {
  if (!error_.empty()) return std::nullopt;
  if (at_ != recordEnd_ && !in_.seekg(static_cast<std::streamoff>(recordEnd_))) {
    error_ = "offset " + std::to_string(at_) + ": reading the capture failed";
    return std::nullopt;
  }
  at_ = recordEnd_;
  if (at_ >= size_) return std::nullopt;
  const std::string where = "offset " + std::to_string(at_) + ": ";
  const std::uint64_t left = size_ - at_;
  if (left < kRecordHeaderBytes) {
    error_ = where + "the capture ends inside a record header, " + std::to_string(left) + " of " +
             std::to_string(kRecordHeaderBytes) + " bytes";
    return std::nullopt;
  }
  char header[kRecordHeaderBytes];
  if (!in_.read(header, sizeof header)) {
    error_ = where + "reading the capture failed";
    return std::nullopt;
  }
  const std::string_view bytes(header, sizeof header);
  const auto pipe = Get(bytes, 0, 1);
  const auto length = Get(bytes, 9, 4);
  if (pipe >= kPipes) {
    error_ = where + "no pipe is numbered " + std::to_string(pipe);
    return std::nullopt;
  }
  if (left - kRecordHeaderBytes < length) {
    error_ = where + "the capture ends inside a record, " + std::to_string(left) + " of " +
             std::to_string(kRecordHeaderBytes + length) + " bytes";
    return std::nullopt;
  }
  const CaptureRecord record{at_,
                             std::chrono::duration<std::uint64_t, std::micro>(Get(bytes, 1, 8)),
                             static_cast<Pipe>(pipe), static_cast<std::uint32_t>(length)};
  at_ += kRecordHeaderBytes;
  recordEnd_ = at_ + length;
  return record;
}

std::string_view CaptureReader::Read(std::size_t most) {
  if (!error_.empty() || at_ == recordEnd_) return {};
  piece_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(most, recordEnd_ - at_)));
  if (!in_.read(piece_.data(), static_cast<std::streamsize>(piece_.size()))) {
    error_ = "offset " + std::to_string(at_) + ": reading the capture failed";
    return {};
  }
  at_ += piece_.size();
  return piece_;
}

}  // namespace Larkhostctl
