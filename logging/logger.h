#pragma once

// The process's diagnostic log: one line per Write, local time with milliseconds, one space, the
// message and CR LF, appended to "LarkRemoteStreamer.dat" in the log directory. Logging is on
// only when the flag file there says so at creation; log sites test Enabled() before building
// any text (use LogLine from logging/log.h).

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "logging/log_time.h"
#include "sync/mutex.h"

namespace LarkLogging {

class Logger {
 public:
  // The process's logger, for the directory of ModuleDirectory() and the system clock, created
  // on the first call. Callers that arrive during the creation wait for it; a creation that
  // throws lets the exception reach its caller, and the next call tries again. The logger is
  // never destroyed: threads still logging while the process is torn down find it intact.
  static Logger* Instance();

  // For tests: Instance() returns `logger` from now on (nullptr: the process's own again), and
  // the logger it returned before is returned. The caller keeps `logger` alive until it has put
  // the previous one back.
  static Logger* SetInstanceForTest(Logger* logger);

  // A logger of its own for `directory`, reading `clock` for every "now"; for tests and
  // benchmarks. Creation runs the purge pass, then reads the flag file.
  explicit Logger(std::string directory, LogClock clock = SystemLogTime);
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Fixed at creation, so any thread may read it without a lock.
  bool Enabled() const { return enabled_; }

  // The log's full path: the directory, "//" and the file name, kept exactly so.
  const std::string& Path() const { return path_; }

  // The log directory, as given at creation.
  const std::string& Directory() const { return directory_; }

  // Rotates and purges, then appends one line. Any thread; one lock is held throughout, so lines
  // never mix and lie in the file in the order the writers took it. The file is opened for each
  // line and closed before returning; others may read and write it meanwhile. Writes whether or
  // not Enabled(). A line that cannot be written is dropped; nothing is reported.
  void Write(const std::string& message) noexcept;

  // The longest message TryWrite takes whole.
  static constexpr std::size_t kMaxTryWriteMessage = 960;

  // For a crash handler, whose process may have stopped any thread inside Write: appends one
  // line as Write does, but waits at most `wait` for the lock, and without it writes nothing and
  // returns false. Neither rotates nor purges, and allocates nothing; a longer message is cut at
  // kMaxTryWriteMessage. False too when the line cannot be written.
  bool TryWrite(std::string_view message, std::chrono::milliseconds wait) noexcept;

 private:
  const std::string directory_;
  const std::string path_;
  const LogClock clock_;
  bool enabled_ = false;
  LarkSync::Mutex lock_;  // guards the file: lines never mix
};

}  // namespace LarkLogging
