// The real host against a trivial hidden-window program on the same pipes (bench/trivial_host),
// measured in one run: launch to first answer, Release to exit, IsRun round trips, engine
// events delivered as notifications, the token round trip as the engine sees it, and the idle
// host's footprint. Pin it (taskset -c 0, and the wineserver) for stable ratios.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "bench/bench_util.h"
#include "parent/host_process.h"

namespace {

namespace fs = std::filesystem;
using lark::bench::Clock;
using lark::bench::Median;
using lark::bench::Row;
using lark::bench::SecondsSince;
using LarkParent::CallResult;
using LarkParent::HostProcess;

constexpr int kLaunches = 9;
constexpr int kRoundTrips = 500;
constexpr int kEvents = 10000;  // the notification queue's bound: none is dropped
constexpr int kTokenRequests = 300;

fs::path BinDirectory() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return fs::path(path).parent_path();
}

// A folder with a copy of the host and the stand-in engine, logging off.
struct HostFolder {
  HostFolder() {
    fs::remove_all(path);
    fs::create_directories(path);
    fs::copy_file(BinDirectory() / "LarkRemoteHost.exe", path / "LarkRemoteHost.exe");
    fs::copy_file(BinDirectory() / "LarkRemoteStreamer.dll", path / "LarkRemoteStreamer.dll");
  }
  ~HostFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  void Script(const std::string& text) const {
    std::ofstream(path / "LarkRemoteStreamer.sim", std::ios::binary) << text;
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
  void Attach(LarkParent::HostConnection& connection) {
    connection.OnNotification([this](const AnonRpc::Notification& note) {
      if (note.type != "7") return;
      std::lock_guard lock(mutex);
      if (++count == target) reached.notify_all();
    });
    connection.Serve("GetJWT", [](const std::string&) { return CallResult{0, "bench.jwt.token"}; });
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
  host->Connection().Call("IsRun", "");
  LaunchTimes times{SecondsSince(start), 0};
  const auto release = Clock::now();
  host->Connection().Call("Release", "");
  host->WaitForExit(std::chrono::seconds(30));
  times.releaseToExit = SecondsSince(release);
  return times;
}

double RoundTrips(const fs::path& executable) {
  std::unique_ptr<HostProcess> host = Launch(executable);
  if (!host) return 0;
  host->Connection().Start();
  host->Connection().Call("IsRun", "");
  const double perCall = Median(5, [&] {
    const auto start = Clock::now();
    for (int i = 0; i < kRoundTrips; ++i) host->Connection().Call("IsRun", "");
    return SecondsSince(start) / kRoundTrips;
  });
  host->Connection().Call("Release", "");
  host->WaitForExit(std::chrono::seconds(30));
  return perCall;
}

// Seconds per event from the request that sets them off to the last one at the parent.
double EventRate(const fs::path& executable, const char* method, const char* payload) {
  std::unique_ptr<HostProcess> host = Launch(executable);
  if (!host) return 0;
  EventCounter events;
  events.Attach(host->Connection());
  if (std::string(method) == "Start") host->Connection().Call("LarkInfo", R"({"hWnd":"1"})");
  const auto start = Clock::now();
  host->Connection().Call(method, payload);
  events.WaitFor(kEvents);
  const double seconds = SecondsSince(start);
  host->Connection().Call("Release", "");
  host->WaitForExit(std::chrono::seconds(60));
  return seconds / kEvents;
}

void Footprint(const fs::path& executable) {
  std::unique_ptr<HostProcess> host = Launch(executable);
  if (!host) return;
  // The first heartbeat comes once start-up has started every thread.
  std::mutex mutex;
  std::condition_variable beat;
  bool beaten = false;
  host->Connection().OnNotification([&](const AnonRpc::Notification&) {
    std::lock_guard lock(mutex);
    beaten = true;
    beat.notify_all();
  });
  host->Connection().Start();
  {
    std::unique_lock lock(mutex);
    beat.wait_for(lock, std::chrono::seconds(30), [&] { return beaten; });
  }
  HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, host->ProcessId());
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof(memory);
  K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                          sizeof(memory));
  DWORD handles = 0;
  GetProcessHandleCount(process, &handles);
  CloseHandle(process);
  int threads = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == host->ProcessId()) ++threads;
  CloseHandle(snapshot);
  std::printf("  %-46s working set %.1f MiB, private %.1f MiB, handles %s, threads %d\n",
              "idle host after its first heartbeat", memory.WorkingSetSize / 1048576.0,
              memory.PrivateUsage / 1048576.0,
              handles == 0 ? "n/a (0 under Wine)" : std::to_string(handles).c_str(), threads);
  host->Connection().Call("Release", "");
  host->WaitForExit(std::chrono::seconds(30));
}

}  // namespace

int main() {
  HostFolder folder;
  const fs::path host = folder.path / "LarkRemoteHost.exe";
  const fs::path trivial = BinDirectory() / "trivial_host.exe";
  std::printf("host_bench: host %s, baseline %s\n", host.string().c_str(),
              trivial.string().c_str());

  std::vector<double> hostFirst, hostExit, trivialFirst;
  for (int i = 0; i < kLaunches; ++i) {
    const LaunchTimes h = LaunchOnce(host);
    hostFirst.push_back(h.firstAnswer);
    hostExit.push_back(h.releaseToExit);
    trivialFirst.push_back(LaunchOnce(trivial).firstAnswer);
  }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  Row("launch to first answered request", median(hostFirst), median(trivialFirst), "ms", 1e3,
      "target <= 1.2");
  std::printf("  %-46s %10.2f ms\n", "Release to process exit", median(hostExit) * 1e3);
  Footprint(host);

  Row("IsRun round trip through the host", RoundTrips(host), RoundTrips(trivial), "us", 1e6,
      "target <= 1.3");

  folder.Script("on START burst " + std::to_string(kEvents) + " 7 x\n");
  const double hostEvent = EventRate(host, "Start", "1");
  const double rawEvent = EventRate(trivial, "Burst", std::to_string(kEvents).c_str());
  std::printf("  %-46s %10.0f /s     baseline %10.0f /s     ratio %5.2f  target >= 0.8\n",
              "engine events delivered as notifications", 1 / hostEvent, 1 / rawEvent,
              rawEvent / hostEvent);

  folder.Script("on START requests " + std::to_string(kTokenRequests) + " 65281 1024\n");
  {
    std::unique_ptr<HostProcess> process = Launch(host);
    EventCounter parent;
    parent.Attach(process->Connection());
    process->Connection().Call("LarkInfo", R"({"hWnd":"1"})");
    process->Connection().Call("Start", "1");
    std::string line;
    for (int i = 0; i < 600 && (line = folder.Record("REQUESTS")).empty(); ++i) Sleep(100);
    process->Connection().Call("Release", "");
    process->WaitForExit(std::chrono::seconds(30));
    const std::size_t tab = line.rfind('\t');
    if (tab != std::string::npos)
      std::printf("  %-46s %10.2f us (as the engine's callback sees it)\n", "GetJWT round trip",
                  std::stod(line.substr(tab + 1)) / kTokenRequests);
  }
  return 0;
}
