#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "support/file_lines.h"

namespace lark::test {

// Turns the process's logging on for the length of a test, into a fresh directory, so log sites
// anywhere can be checked line by line.
class CapturedLog {
 public:
  CapturedLog() {
    // Test processes run side by side: a random name keeps their folders apart.
    std::random_device random;
    directory_ = std::filesystem::temp_directory_path() /
                 ("lark-log-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(directory_);
    std::ofstream(directory_ / "lklogfile.txt") << "logfile_on";
    logger_ = std::make_unique<Logger>(directory_.string());
    EXPECT_TRUE(logger_->Enabled());
    previous_ = Logger::SetInstanceForTest(logger_.get());
  }
  ~CapturedLog() {
    Logger::SetInstanceForTest(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  // The messages written so far, without their timestamps.
  std::vector<std::string> Messages() const {
    return LogMessages(directory_ / "LarkRemoteStreamer.dat");
  }

  bool Contains(const std::string& message) const {
    for (const std::string& m : Messages())
      if (m == message) return true;
    return false;
  }

 private:
  std::filesystem::path directory_;
  std::unique_ptr<Logger> logger_;
  Logger* previous_ = nullptr;
};

}  // namespace lark::test
