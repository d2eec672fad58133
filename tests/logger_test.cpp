#include "logging/logger.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/log.h"
#include "logging/log_files.h"
#include "support/log_test_support.h"

namespace LarkLogging {
namespace {

namespace fs = std::filesystem;
using lark::test::LocalMoment;
using lark::test::ManualClock;
using lark::test::Messages;
using lark::test::ReadBytes;
using lark::test::StartGate;
using lark::test::TempLogDir;
using lark::test::WriteBytes;
using namespace std::chrono_literals;

// A directory whose flag file switches logging on.
class LoggingOnDir : public TempLogDir {
 public:
  LoggingOnDir() { WriteBytes(*this / "lklogfile.txt", "logfile_on"); }
  fs::path Log() const { return *this / "LarkRemoteStreamer.dat"; }
};

TEST(Logger, CreationPurgesThenReadsTheFlagFileOnce) {
  TempLogDir dir;
  WriteBytes(dir / "lrp_streamer.txt", "stray");
  Logger off(dir.narrow());
  EXPECT_FALSE(off.Enabled());
  EXPECT_FALSE(fs::exists(dir / "lrp_streamer.txt")) << "the purge pass runs with logging off";
  EXPECT_EQ(off.Path(), dir.narrow() + "//LarkRemoteStreamer.dat");
  LogLine(off, "Tag", "text");
  EXPECT_FALSE(fs::exists(dir / "LarkRemoteStreamer.dat")) << "logging off writes no file";

  WriteBytes(dir / "lklogfile.txt", "logfile_on");
  EXPECT_FALSE(off.Enabled()) << "a flag file created later is read at the next creation";
  Logger on(dir.narrow());
  EXPECT_TRUE(on.Enabled());
  LogLine(on, "Tag", "text");
  EXPECT_EQ(Messages(ReadBytes(dir / "LarkRemoteStreamer.dat")),
            std::vector<std::string>{"[Tag] text"});
}

TEST(Logger, LinesAreLocalTimeMillisecondsMessageAndCrLf) {
  TempLogDir dir;
  const LogTime second = LocalMoment(2024, 3, 2, 9, 5, 3);
  ManualClock clock(second + 7ms);
  Logger logger(dir.narrow(), clock.Reader());
  logger.Write("[RegisterMainWindowClass] RegisterClassExW failed : 1410");
  clock.Set(second + 45ms + 999us);
  logger.Write("");
  clock.Set(second + 999ms);
  logger.Write("two\nlines\r\n");
  EXPECT_EQ(ReadBytes(dir / "LarkRemoteStreamer.dat"),
            "2024-03-02 09:05:03.007 [RegisterMainWindowClass] RegisterClassExW failed : 1410\r\n"
            "2024-03-02 09:05:03.045 \r\n"
            "2024-03-02 09:05:03.999 two\nlines\r\n\r\n");
}

TEST(Logger, ConcurrentWritersNeverMixLines) {
  LoggingOnDir dir;
  Logger logger(dir.narrow());
  // Longer than any stdio buffer, so an unlocked line would reach the file in several writes.
  const std::string lines[2] = {std::string(20000, 'a'), std::string(20000, 'b')};
  constexpr int kLinesEach = 50;
  StartGate start(2);
  std::vector<std::thread> writers;
  for (const std::string& line : lines) {
    writers.emplace_back([&] {
      start.ArriveAndWait();
      for (int i = 0; i < kLinesEach; ++i) logger.Write(line);
    });
  }
  for (std::thread& writer : writers) writer.join();

  const std::vector<std::string> messages = Messages(ReadBytes(dir.Log()));
  ASSERT_EQ(messages.size(), 2u * kLinesEach);
  int counts[2] = {0, 0};
  for (const std::string& message : messages) {
    if (message == lines[0]) ++counts[0];
    if (message == lines[1]) ++counts[1];
  }
  EXPECT_EQ(counts[0], kLinesEach);
  EXPECT_EQ(counts[1], kLinesEach);
}

// The crash handler's line: as Write's, but it never waits long for a lock that a crashed thread
// may hold for good.
TEST(Logger, TryWriteAppendsLikeWriteButGivesUpOnAHeldLock) {
  TempLogDir dir;
  std::mutex mutex;
  std::condition_variable changed;
  std::thread::id holder;
  bool holding = false;
  bool released = false;
  // Write reads the clock under the lock: on the holder's thread it keeps the lock held.
  Logger logger(dir.narrow(), [&] {
    std::unique_lock lock(mutex);
    if (std::this_thread::get_id() == holder) {
      holding = true;
      changed.notify_all();
      changed.wait(lock, [&] { return released; });
    }
    return LocalMoment(2024, 3, 2, 9, 5, 3) + 7ms;
  });
  EXPECT_TRUE(logger.TryWrite("[CrashHandler] free", 0ms));
  std::thread writer([&] {
    {
      std::lock_guard lock(mutex);
      holder = std::this_thread::get_id();
    }
    logger.Write("[Tag] held");
  });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return holding; }));
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(logger.TryWrite("[CrashHandler] skipped", 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  changed.notify_all();
  writer.join();
  EXPECT_TRUE(logger.TryWrite(std::string(Logger::kMaxTryWriteMessage + 1, 'x'), 0ms));
  const std::string stamp = "2024-03-02 09:05:03.007 ";
  EXPECT_EQ(ReadBytes(dir / "LarkRemoteStreamer.dat"),
            stamp + "[CrashHandler] free\r\n" + stamp + "[Tag] held\r\n" + stamp +
                std::string(Logger::kMaxTryWriteMessage, 'x') + "\r\n");
}

TEST(Logger, InstanceIsOneLoggerForTheModuleDirectory) {
  constexpr int kThreads = 4;
  StartGate start(kThreads);
  Logger* seen[kThreads] = {};
  std::vector<std::thread> callers;
  for (Logger*& slot : seen) {
    callers.emplace_back([&] {
      start.ArriveAndWait();
      slot = Logger::Instance();
    });
  }
  for (std::thread& caller : callers) caller.join();
  ASSERT_NE(seen[0], nullptr);
  for (Logger* logger : seen) EXPECT_EQ(logger, seen[0]);

  const std::string directory = ModuleDirectory();
  EXPECT_EQ(seen[0]->Path(), directory + "//LarkRemoteStreamer.dat");
  const fs::path bin = FileSystemPath(directory).value_or(fs::path());
  EXPECT_TRUE(fs::exists(bin / "logging_tests") || fs::exists(bin / "logging_tests.exe"))
      << "the log directory is the test binary's: " << directory;
}

// Logs from a static destructor, after the process's other statics are gone: the process's
// logger must still be there and write the line.
struct LogsAtExit {
  bool armed = false;
  ~LogsAtExit() {
    if (armed) Logger::Instance()->Write("[LogsAtExit::~LogsAtExit] process exit");
  }
} logsAtExit;

TEST(Logger, OutlivesTheProcessStatics) {
  const fs::path log = FileSystemPath(Logger::Instance()->Directory()).value_or(fs::path()) /
                       "LarkRemoteStreamer.dat";
  fs::remove(log);
  EXPECT_EXIT(
      {
        logsAtExit.armed = true;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Messages(ReadBytes(log)),
            std::vector<std::string>{"[LogsAtExit::~LogsAtExit] process exit"});
  fs::remove(log);
}

// A part that counts how often it is turned into text.
struct CountedPart {
  int* conversions;
  operator std::string_view() const {
    ++*conversions;
    return "counted";
  }
};

TEST(LogLine, BuildsNothingWhenLoggingIsOff) {
  TempLogDir offDir;
  LoggingOnDir onDir;
  Logger off(offDir.narrow());
  Logger on(onDir.narrow());
  int conversions = 0;
  LogLine(off, "Tag", CountedPart{&conversions});
  EXPECT_EQ(conversions, 0);
  LogLine(on, "Tag", CountedPart{&conversions});
  EXPECT_EQ(conversions, 1);
  EXPECT_EQ(Messages(ReadBytes(onDir.Log())), std::vector<std::string>{"[Tag] counted"});
}

TEST(LogLine, JoinsTagAndPartsWithIntegersInDecimal) {
  LoggingOnDir dir;
  Logger logger(dir.narrow());
  const std::string type = "7";
  const char* none = nullptr;
  LogLine(logger, "AnonRpc::NotifySender::Enqueue",
          "NotifySender queue overflow, dropped oldest (type=", type,
          ", total=", std::numeric_limits<std::uint64_t>::max(), ")");
  LogLine(logger, "WinMain::<lambda_1>::operator ()", std::string_view("failed : "),
          std::numeric_limits<std::uint32_t>::max(), ' ', std::numeric_limits<std::int32_t>::min(),
          ' ', std::numeric_limits<std::int64_t>::min(), ' ', std::int16_t{-5}, ' ', 0u, none);
  LogLine(logger, "Empty");
  EXPECT_EQ(Messages(ReadBytes(dir.Log())),
            (std::vector<std::string>{
                "[AnonRpc::NotifySender::Enqueue] NotifySender queue overflow, dropped oldest "
                "(type=7, total=18446744073709551615)",
                "[WinMain::<lambda_1>::operator ()] failed : 4294967295 -2147483648 "
                "-9223372036854775808 -5 0",
                "[Empty] "}));
}

}  // namespace
}  // namespace LarkLogging
