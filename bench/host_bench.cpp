// The real host against a trivial hidden-window program on the same pipes (bench/trivial_host),
// which does the start-up work every host must (DPI awareness, the named mutex, a COM
// apartment, the engine library loaded) and no more, measured in one run: launch to first
// answer, Release to exit, what each holds after start-up, IsRun round trips, engine events
// delivered as notifications, the token round trip as the engine sees it. Pin it (taskset -c 0,
// and the wineserver) for stable ratios.

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "bench/bench_util.h"
#include "parent/host_process.h"
#include "parent/module_folder.h"
#include "protocol/lark_protocol.h"
#include "support/process_stats.h"

namespace LarkParent {
namespace {

namespace fs = std::filesystem;
using lark::bench::Clock;
using lark::bench::Median;
using lark::bench::Row;
using lark::bench::SecondsSince;

constexpr int kLaunches = 9;
constexpr int kRoundTrips = 500;
constexpr int kEvents = 10000;  // the notification queue's bound: none is dropped
constexpr int kTokenRequests = 300;

// A folder with a copy of the host and the stand-in engine, logging off.
struct HostFolder {
  HostFolder() {
    fs::remove_all(path);
    fs::create_directories(path);
    fs::copy_file(ModuleFolder() / LarkProtocol::kHostExecutableName,
                  path / LarkProtocol::kHostExecutableName);
    fs::copy_file(ModuleFolder() / LarkProtocol::kEngineLibraryName,
                  path / LarkProtocol::kEngineLibraryName);
  }
  ~HostFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  void Script(const std::string& text) const {
    std::ofstream(path / "LarkRemoteStreamer.sim", std::ios::binary) << text;
  }
  void Logging(bool on) const {
    std::error_code ignored;
    if (on) {
      std::ofstream(path / "lklogfile.txt") << "logfile_on";
    } else {
      fs::remove(path / "lklogfile.txt", ignored);
    }
  }
  std::string Record(const std::string& prefix) const {
    std::ifstream in(path / "LarkRemoteStreamer.calls");
    for (std::string line; std::getline(in, line);)
      if (line.rfind(prefix, 0) == 0) return line;
    return {};
  }
  fs::path path =
      fs::temp_directory_path() / ("lark-host-bench-" + std::to_string(GetCurrentProcessId()));
};

std::unique_ptr<HostProcess> Launch(const fs::path& executable) {
  HostProcess::Options options;
  options.executable = executable.wstring();
  std::string error;
  std::unique_ptr<HostProcess> host = HostProcess::Launch(options, &error);
  if (!host)
    std::fprintf(stderr, "cannot start %s: %s\n", executable.string().c_str(), error.c_str());
  return host;
}

// Counts the notifications of one type; waits for a number of them.
struct EventCounter {
  void Attach(HostConnection& connection) {
    connection.OnNotification([this](const AnonRpc::Notification& note) {
      if (note.type != "7") return;
      std::lock_guard lock(mutex);
      if (++count == target) reached.notify_all();
    });
    connection.Serve(LarkProtocol::kGetJwtMethod, [](const std::string&) {
      return CallResult{0, "bench.jwt.token"};
    });
    connection.Start();
  }
  bool WaitFor(int n) {
    std::unique_lock lock(mutex);
    target = n;
    return reached.wait_for(lock, std::chrono::seconds(120), [&] { return count >= n; });
  }
  std::mutex mutex;
  std::condition_variable reached;
  int count = 0;
  int target = -1;
};

struct LaunchTimes {
  double firstAnswer = 0;
  double releaseToExit = 0;
};

LaunchTimes LaunchOnce(const fs::path& executable) {
  const auto start = Clock::now();
  std::unique_ptr<HostProcess> host = Launch(executable);
  if (!host) return {};
  host->Connection().Start();
  host->Connection().Call(LarkProtocol::kIsRunMethod, "");
  LaunchTimes times{SecondsSince(start), 0};
  const auto release = Clock::now();
  host->Connection().Call(LarkProtocol::kReleaseMethod, "");
  host->WaitForExit(std::chrono::seconds(30));
  times.releaseToExit = SecondsSince(release);
  return times;
}

double RoundTrips(const fs::path& executable) {
  std::unique_ptr<HostProcess> host = Launch(executable);
  if (!host) return 0;
  host->Connection().Start();
  host->Connection().Call(LarkProtocol::kIsRunMethod, "");
  const double perCall = Median(5, [&] {
    const auto start = Clock::now();
    for (int i = 0; i < kRoundTrips; ++i) host->Connection().Call(LarkProtocol::kIsRunMethod, "");
    return SecondsSince(start) / kRoundTrips;
  });
  host->Connection().Call(LarkProtocol::kReleaseMethod, "");
  host->WaitForExit(std::chrono::seconds(30));
  return perCall;
}

// Seconds per event from the request that sets them off to the last one at the parent.
double EventRate(const fs::path& executable, const char* method, const char* payload) {
  std::unique_ptr<HostProcess> host = Launch(executable);
  if (!host) return 0;
  EventCounter events;
  events.Attach(host->Connection());
  if (std::string(method) == LarkProtocol::kStartMethod)
    host->Connection().Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})");
  const auto start = Clock::now();
  host->Connection().Call(method, payload);
  events.WaitFor(kEvents);
  const double seconds = SecondsSince(start);
  host->Connection().Call(LarkProtocol::kReleaseMethod, "");
  host->WaitForExit(std::chrono::seconds(60));
  return seconds / kEvents;
}

// What the program holds once started: the host after its first heartbeat (every thread has
// started by then), the trivial program after its first answer.
lark::test::ProcessFigures Footprint(const fs::path& executable, bool waitForHeartbeat) {
  std::unique_ptr<HostProcess> host = Launch(executable);
  if (!host) return {};
  std::mutex mutex;
  std::condition_variable beat;
  bool beaten = false;
  host->Connection().OnNotification([&](const AnonRpc::Notification&) {
    std::lock_guard lock(mutex);
    beaten = true;
    beat.notify_all();
  });
  host->Connection().Start();
  host->Connection().Call(LarkProtocol::kIsRunMethod, "");
  if (waitForHeartbeat) {
    std::unique_lock lock(mutex);
    beat.wait_for(lock, std::chrono::seconds(30), [&] { return beaten; });
  }
  const lark::test::ProcessFigures figures =
      lark::test::FiguresOf(host->ProcessId()).value_or(lark::test::ProcessFigures{});
  host->Connection().Call(LarkProtocol::kReleaseMethod, "");
  host->WaitForExit(std::chrono::seconds(30));
  return figures;
}

int RunBenchmarks() {
  HostFolder folder;
  const fs::path host = folder.path / LarkProtocol::kHostExecutableName;
  const fs::path trivial = ModuleFolder() / "trivial_host.exe";
  std::fprintf(stderr, "host_bench: host %s, baseline %s\n", host.string().c_str(),
               trivial.string().c_str());
  const std::string versus = " / the trivial program";

  std::vector<double> hostFirst, hostExit, trivialFirst, trivialExit;
  for (int i = 0; i < kLaunches; ++i) {
    const LaunchTimes h = LaunchOnce(host);
    hostFirst.push_back(h.firstAnswer);
    hostExit.push_back(h.releaseToExit);
    const LaunchTimes t = LaunchOnce(trivial);
    trivialFirst.push_back(t.firstAnswer);
    trivialExit.push_back(t.releaseToExit);
  }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  Row("launch to first answered request" + versus, median(hostFirst), median(trivialFirst), "ms",
      1e3, "<= 1.2");
  Row("Release to process exit" + versus, median(hostExit), median(trivialExit), "ms", 1e3);

  const lark::test::ProcessFigures hostFigures = Footprint(host, true);
  const lark::test::ProcessFigures trivialFigures = Footprint(trivial, false);
  constexpr double kMiB = 1.0 / 1048576;

  // What logging on adds at start-up: the log file, and the crash handler's dump writer, which
  // is loaded then so that a crash under the loader's lock still gets its dump.
  std::vector<double> loggedFirst;
  folder.Logging(true);
  for (int i = 0; i < kLaunches; ++i) loggedFirst.push_back(LaunchOnce(host).firstAnswer);
  const lark::test::ProcessFigures loggedFigures = Footprint(host, true);
  folder.Logging(false);
  Row("launch to first answered request, logging on / off", median(loggedFirst), median(hostFirst),
      "ms", 1e3);
  Row("after start-up: working set, logging on / off",
      static_cast<double>(loggedFigures.workingSet), static_cast<double>(hostFigures.workingSet),
      "MiB", kMiB);
  Row("after start-up: working set" + versus, static_cast<double>(hostFigures.workingSet),
      static_cast<double>(trivialFigures.workingSet), "MiB", kMiB);
  Row("after start-up: committed private memory" + versus,
      static_cast<double>(hostFigures.pagefile), static_cast<double>(trivialFigures.pagefile),
      "MiB", kMiB);
  Row("after start-up: threads" + versus, static_cast<double>(hostFigures.threads),
      static_cast<double>(trivialFigures.threads), "", 1);
  Row("after start-up: handles" + versus, static_cast<double>(hostFigures.handles),
      static_cast<double>(trivialFigures.handles), "", 1);

  const double trivialRoundTrip = RoundTrips(trivial);
  Row("IsRun round trip" + versus, RoundTrips(host), trivialRoundTrip, "us", 1e6, "<= 1.3");

  folder.Script("on START burst " + std::to_string(kEvents) + " 7 x\n");
  const double hostEvent = EventRate(host, LarkProtocol::kStartMethod, "1");
  const double rawEvent = EventRate(trivial, "Burst", std::to_string(kEvents).c_str());
  Row("engine events/s delivered as notifications / raw writes", 1 / hostEvent, 1 / rawEvent, "/s",
      1, ">= 0.8");

  folder.Script("on START requests " + std::to_string(kTokenRequests) + " 65281 1024\n");
  {
    std::unique_ptr<HostProcess> process = Launch(host);
    EventCounter parent;
    parent.Attach(process->Connection());
    process->Connection().Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})");
    process->Connection().Call(LarkProtocol::kStartMethod, "1");
    std::string line;
    for (int i = 0; i < 600 && (line = folder.Record("REQUESTS")).empty(); ++i) Sleep(100);
    process->Connection().Call(LarkProtocol::kReleaseMethod, "");
    process->WaitForExit(std::chrono::seconds(30));
    const std::size_t tab = line.rfind('\t');
    if (tab != std::string::npos)
      Row("GetJWT round trip as the engine sees it / IsRun through the trivial program",
          std::stod(line.substr(tab + 1)) / 1e6 / kTokenRequests, trivialRoundTrip, "us", 1e6);
  }
  return 0;
}

}  // namespace
}  // namespace LarkParent

int main() {
  return LarkParent::RunBenchmarks();
}
