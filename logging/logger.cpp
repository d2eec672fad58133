#include "logging/logger.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "logging/flag_file.h"
#include "logging/log_files.h"
#include "logging/log_platform.h"

namespace LarkLogging {

namespace {

std::atomic<Logger*> testInstance{nullptr};

}  // namespace

Logger* Logger::Instance() {
  if (Logger* logger = testInstance.load(std::memory_order_acquire)) return logger;
  // A throwing initialiser leaves the static to the next call. Deliberately never deleted.
  static Logger* const instance = new Logger(ModuleDirectory());
  return instance;
}

Logger* Logger::SetInstanceForTest(Logger* logger) {
  return testInstance.exchange(logger);
}

Logger::Logger(std::string directory, LogClock clock)
    : directory_(std::move(directory)), path_(LogPath(directory_)), clock_(std::move(clock)) {
  PurgeOldLogs(directory_, clock_());
  enabled_ = LoadFlags(directory_);
}

void Logger::Write(const std::string& message) noexcept {
  try {
    LarkSync::MutexLock lock(lock_);
    RotateIfNeeded(directory_, path_, clock_());
    std::string line = LineTimestamp(clock_());
    line += ' ';
    line += message;
    line += "\r\n";  // the file is opened in binary mode: these bytes on every platform
    const OpenedFile file = OpenFile(path_, "ab");
    if (file) (void)std::fwrite(line.data(), 1, line.size(), file.get());  // else: dropped
  } catch (...) {
    // Out of memory, or a throwing clock: the line is dropped.
  }
}

bool Logger::TryWrite(std::string_view message, std::chrono::milliseconds wait) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (!lock_.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const LarkSync::MutexLock lock(lock_, LarkSync::kAdoptLock);
  char line[32 + kMaxTryWriteMessage];  // 32: the timestamp, its space, CR LF
  std::size_t length = 0;
  try {
    length = FormatLineTimestamp(clock_(), line, sizeof line);
  } catch (...) {
    return false;  // a test's clock
  }
  line[length++] = ' ';
  const std::size_t kept =
      std::min({message.size(), kMaxTryWriteMessage, sizeof line - length - 2});
  std::memcpy(line + length, message.data(), kept);
  length += kept;
  line[length++] = '\r';
  line[length++] = '\n';
  return AppendToFile(path_, std::string_view(line, length));
}

}  // namespace LarkLogging
