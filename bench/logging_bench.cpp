// The cost of a log line with logging on, against the bare work such a line must do, measured in
// the same run: one listing of the log directory with a status call per entry, and one
// open-append-close of the same line. The logger asks for a status only for names it may purge,
// so the listing alone plus the append is shown too: the least any line can cost. And the cost
// of a log site with logging off.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "logging/log.h"
#include "logging/log_files.h"
#include "logging/log_platform.h"
#include "logging/logger.h"

namespace LarkLogging {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 7;
constexpr auto kRoundTime = std::chrono::milliseconds(100);
const std::string kMessage = "[AnonRpc::NotifySender::Enqueue] NotifySender queue overflow";

double SecondsPerCall(int calls, const std::function<void()>& call) {
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < calls; ++i) call();
  return std::chrono::duration<double>(Clock::now() - start).count() / calls;
}

// Enough calls for one round to last about kRoundTime; bounded so the log stays far below the
// rotation threshold.
int CallsPerRound(const std::function<void()>& call) {
  const double once = SecondsPerCall(10, call);
  const double wanted = std::chrono::duration<double>(kRoundTime).count() / once;
  return static_cast<int>(std::clamp(wanted, 10.0, 20000.0));
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

class BenchDir {
 public:
  explicit BenchDir(int files) {
    path_ =
        fs::temp_directory_path() / ("lark_log_bench_" + std::to_string(std::random_device{}()));
    fs::create_directory(path_);
    for (int i = 0; i < files; ++i) Touch("module_" + std::to_string(i) + ".bin", "x");
    Touch("lklogfile.txt", "logfile_on");
  }
  ~BenchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string Narrow() const { return NarrowName(path_).value(); }
  void Remove(const std::string& name) const { fs::remove(path_ / name); }

 private:
  void Touch(const std::string& name, const std::string& content) const {
    const OpenedFile file = OpenFile(LogDirectoryFile(Narrow(), name), "wb");
    std::fwrite(content.data(), 1, content.size(), file.get());
  }
  fs::path path_;
};

struct LineCosts {
  double line;
  double bare;     // listing, status per entry, append
  double minimum;  // listing, append
};

LineCosts MeasureLine(int files) {
  BenchDir dir(files);
  Logger logger(dir.Narrow());
  if (!logger.Enabled()) std::fprintf(stderr, "logging did not switch on\n");
  const fs::path listed = FileSystemPath(dir.Narrow()).value();
  const std::string bareFile = LogDirectoryFile(dir.Narrow(), "bare.txt");
  // The line as the logger writes it: timestamp, space, message, CR LF.
  const std::string bareLine = LineTimestamp(SystemLogTime()) + " " + kMessage + "\r\n";

  const std::function<void()> line = [&] {
    LogLine(logger, "AnonRpc::NotifySender::Enqueue", "NotifySender queue overflow");
  };
  const auto bareWork = [&](bool status) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(listed, error)) {
      if (status) entry.status(error);
    }
    const OpenedFile file = OpenFile(bareFile, "ab");
    std::fwrite(bareLine.data(), 1, bareLine.size(), file.get());
  };
  const std::function<void()> bare = [&] { bareWork(true); };
  const std::function<void()> minimum = [&] { bareWork(false); };
  const int lineCalls = CallsPerRound(line);
  const int bareCalls = CallsPerRound(bare);
  const int minimumCalls = CallsPerRound(minimum);
  std::vector<double> lines;
  std::vector<double> bares;
  std::vector<double> minimums;
  for (int round = 0; round < kRounds; ++round) {
    lines.push_back(SecondsPerCall(lineCalls, line));
    bares.push_back(SecondsPerCall(bareCalls, bare));
    minimums.push_back(SecondsPerCall(minimumCalls, minimum));
    dir.Remove("LarkRemoteStreamer.dat");
    dir.Remove("bare.txt");
  }
  return {Median(lines), Median(bares), Median(minimums)};
}

double MeasureLoggingOff() {
  if (Logger::Instance()->Enabled()) std::fprintf(stderr, "logging is on beside this program\n");
  long long value = 0;
  const std::function<void()> site = [&] {
    for (int i = 0; i < 1000; ++i) LogLine("Bench::Off", "value ", ++value, " of ", kMessage);
  };
  std::vector<double> rounds;
  const int calls = CallsPerRound(site);
  for (int round = 0; round < kRounds; ++round) rounds.push_back(SecondsPerCall(calls, site));
  return Median(rounds) / 1000;
}

// What a log site with logging off cannot do without: ask the logger whether it is on.
double MeasureFlagTest() {
  std::atomic<long long> on{0};
  const std::function<void()> site = [&] {
    for (int i = 0; i < 1000; ++i)
      if (Logger::Instance()->Enabled()) ++on;
  };
  std::vector<double> rounds;
  const int calls = CallsPerRound(site);
  for (int round = 0; round < kRounds; ++round) rounds.push_back(SecondsPerCall(calls, site));
  return Median(rounds) / 1000;
}

int RunBenchmarks() {
  using lark::bench::Row;
  for (int files : {10, 100, 1000}) {
    const LineCosts c = MeasureLine(files);
    const std::string where = ", " + std::to_string(files) + " files in the directory";
    Row("log line, logging on / listing with status and append" + where, c.line, c.bare, "us", 1e6);
    Row("log line, logging on / listing and append" + where, c.line, c.minimum, "us", 1e6);
  }
  const double off = MeasureLoggingOff();
  Row("log site, logging off / a test of the flag", off, MeasureFlagTest(), "ns", 1e9);
  return 0;
}

}  // namespace
}  // namespace LarkLogging

int main() {
  return LarkLogging::RunBenchmarks();
}
