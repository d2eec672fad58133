#include "tools/log_follower.h"

#include <windows.h>

#include <chrono>
#include <fstream>
#include <iterator>

#include "logging/flag_file.h"
#include "logging/log_files.h"

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

// The backup's first byte: the flag file's bytes follow, or there was none.
constexpr char kWasThere = '+';
constexpr char kWasNone = '-';

fs::path BackupOf(const fs::path& flagFile) {
  return fs::path(flagFile) += ".larkhostctl";
}

// Written whole under another name and then renamed, so that a backup found is never cut short.
void WriteBackup(const fs::path& flagFile, const std::optional<std::string>& flags) {
  const fs::path backup = BackupOf(flagFile);
  const fs::path partial = fs::path(backup) += ".partial";
  WriteFile(partial, flags ? kWasThere + *flags : std::string(1, kWasNone));
  std::error_code ignored;
  fs::rename(partial, backup, ignored);
}

void PutBack(const fs::path& flagFile, const std::optional<std::string>& flags) {
  std::error_code ignored;
  if (flags)
    WriteFile(flagFile, *flags);
  else
    fs::remove(flagFile, ignored);
  fs::remove(BackupOf(flagFile), ignored);  // last: cut short, the next run puts it back again
}

// A console event runs this on a thread of its own; the default handler after it ends the
// process.
BOOL WINAPI OnConsoleEvent(DWORD) {
  LogFollower::RestoreNow();
  return FALSE;
}

}  // namespace

LarkSync::Mutex LogFollower::restoreLock_;
LogFollower* LogFollower::alive_ = nullptr;

void LogFollower::RestoreLeftOver(const fs::path& hostFolder) {
  const fs::path flagFile = hostFolder / LarkLogging::kFlagFileName;
  // A backup cut short was never followed by a change of the flag file.
  std::error_code ignored;
  fs::remove(fs::path(BackupOf(flagFile)) += ".partial", ignored);
  const std::optional<std::string> backup = ReadFile(BackupOf(flagFile));
  if (!backup || backup->empty()) return;
  PutBack(flagFile, backup->front() == kWasThere ? std::optional(backup->substr(1)) : std::nullopt);
}

void LogFollower::RestoreNow() {
  LarkSync::MutexLock lock(restoreLock_);
  if (alive_ != nullptr) alive_->Restore();
}

void LogFollower::Restore() {
  if (restored_) return;
  restored_ = true;
  PutBack(flagFile_, oldFlags_);
}

LogFollower::LogFollower(const fs::path& hostFolder)
    : flagFile_(hostFolder / LarkLogging::kFlagFileName),
      log_(hostFolder / LarkLogging::kLogFileName) {
  RestoreLeftOver(hostFolder);
  oldFlags_ = ReadFile(flagFile_);
  WriteBackup(flagFile_, oldFlags_);
  {
    LarkSync::MutexLock lock(restoreLock_);
    alive_ = this;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
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
  {
    LarkSync::MutexLock lock(restoreLock_);
    Restore();
    alive_ = nullptr;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

void LogFollower::Start(std::function<void()> tick) {
  thread_ = std::thread([this, tick = std::move(tick)] {
    LarkSync::MutexLock lock(stopLock_);
    while (!stopSignal_.wait_for(lock, kPollPeriod,
                                 [this]() LARK_REQUIRES(stopLock_) { return stopping_; })) {
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
