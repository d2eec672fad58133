#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "logging/flag_file.h"
#include "logging/log_files.h"
#include "logging/logger.h"
#include "support/file_lines.h"
#include "support/temp_dir.h"

namespace lark::test {

// Turns the process's logging on for the length of a test, into a fresh directory, so log sites
// anywhere can be checked line by line.
class CapturedLog {
 public:
  CapturedLog() {
    std::ofstream(dir_.Path() / LarkLogging::kFlagFileName) << "logfile_on";
    logger_ = std::make_unique<LarkLogging::Logger>(dir_.Path().string());
    EXPECT_TRUE(logger_->Enabled());
    previous_ = LarkLogging::Logger::SetInstanceForTest(logger_.get());
  }
  ~CapturedLog() { LarkLogging::Logger::SetInstanceForTest(previous_); }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  // The messages written so far, without their timestamps.
  std::vector<std::string> Messages() const {
    return LogMessages(dir_.Path() / LarkLogging::kLogFileName);
  }

  bool Contains(const std::string& message) const {
    for (const std::string& m : Messages())
      if (m == message) return true;
    return false;
  }

 private:
  TempDir dir_{"lark-log-"};
  std::unique_ptr<LarkLogging::Logger> logger_;
  LarkLogging::Logger* previous_ = nullptr;
};

}  // namespace lark::test
