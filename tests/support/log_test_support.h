#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "logging/log_platform.h"
#include "logging/log_time.h"
#include "support/file_lines.h"
#include "support/temp_dir.h"

namespace lark::test {

namespace fs = std::filesystem;

// A log directory: a fresh temporary folder with the logger's view of its names.
class TempLogDir {
 public:
  const fs::path& path() const { return dir_.Path(); }
  // The directory as the logger takes it.
  std::string narrow() const { return LarkLogging::NarrowName(path()).value_or(""); }
  fs::path operator/(std::string_view name) const { return path() / fs::path(name); }

  // Narrow names of everything in the directory.
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(path())) {
      names.insert(LarkLogging::NarrowName(entry.path().filename()).value_or("?"));
    }
    return names;
  }

 private:
  TempDir dir_{"lark_log_"};
};

inline void WriteBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << file;
}

inline std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  EXPECT_TRUE(in.good()) << file;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A moment given in local calendar time, so that what the logger prints does not depend on the
// machine's time zone.
inline LarkLogging::LogTime LocalMoment(int year, int month, int day, int hour, int minute,
                                        int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return LarkLogging::LogTime(std::chrono::seconds(std::mktime(&local)));
}

// The messages of a log's text, in file order, without their stamps; a torn line fails.
inline std::vector<std::string> Messages(const std::string& log) {
  EXPECT_TRUE(log.empty() || LogIsWhole(log)) << log;
  return LogMessagesOf(log);
}

inline void SetLastWriteTime(const fs::path& file, LarkLogging::LogTime moment) {
  fs::last_write_time(file, fs::file_time_type::clock::from_sys(moment));
}

inline LarkLogging::LogClock FixedClock(LarkLogging::LogTime now) {
  return [now] { return now; };
}

// A clock the test sets; it must outlive the loggers that read it.
class ManualClock {
 public:
  explicit ManualClock(LarkLogging::LogTime now) : now_(now) {}
  void Set(LarkLogging::LogTime now) { now_ = now; }
  LarkLogging::LogClock Reader() const {
    return [this] { return now_; };
  }

 private:
  LarkLogging::LogTime now_;
};

// Lets a number of threads start at the same moment. (std::latch is avoided: the MinGW
// runtime's atomic waits can miss a wake-up and leave the threads waiting for good.)
class StartGate {
 public:
  explicit StartGate(int count) : remaining_(count) {}
  void ArriveAndWait() {
    std::unique_lock lock(mutex_);
    if (--remaining_ == 0) opened_.notify_all();
    opened_.wait(lock, [this] { return remaining_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  int remaining_;
};

}  // namespace lark::test
