#include "tools/log_follower.h"

#include <chrono>
#include <fstream>
#include <iterator>

namespace Larkhostctl {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::milliseconds kPollPeriod{50};

std::optional<std::string> ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

LogFollower::LogFollower(const fs::path& hostFolder)
    : flagFile_(hostFolder / "lklogfile.txt"),
      oldFlags_(ReadFile(flagFile_)),
      log_(hostFolder / "LarkRemoteStreamer.dat") {
  WriteFile(flagFile_, "logfile_on");
  std::error_code missing;
  const std::uintmax_t size = fs::file_size(log_, missing);
  offset_ = missing ? 0 : size;
}

LogFollower::~LogFollower() {
  {
    LarkSync::MutexLock lock(stopLock_);
    stopping_ = true;
    stopSignal_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  std::error_code ignored;
  if (oldFlags_)
    WriteFile(flagFile_, *oldFlags_);
  else
    fs::remove(flagFile_, ignored);
}

void LogFollower::Start(std::function<void()> tick) {
  thread_ = std::thread([this, tick = std::move(tick)] {
    LarkSync::MutexLock lock(stopLock_);
    while (!stopSignal_.wait_for(lock, kPollPeriod,
                                 [this]() REQUIRES(stopLock_) { return stopping_; })) {
      lock.Unlock();
      tick();
      lock.Lock();
    }
  });
}

std::vector<std::string> LogFollower::NewLines() {
  LarkSync::MutexLock lock(readLock_);
  std::vector<std::string> lines;
  std::error_code missing;
  const std::uintmax_t size = fs::file_size(log_, missing);
  if (missing || size == offset_) return lines;
  if (size < offset_) {
    offset_ = 0;
    partial_.clear();
  }
  std::ifstream in(log_, std::ios::binary);
  if (!in.seekg(static_cast<std::streamoff>(offset_))) return lines;
  std::string text = partial_ + std::string(std::istreambuf_iterator<char>(in), {});
  offset_ += text.size() - partial_.size();
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start - (end > start && text[end - 1] == '\r')));
  partial_ = text.substr(start);
  return lines;
}

}  // namespace Larkhostctl
