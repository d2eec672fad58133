// larkhostctl: drives a LarkRemoteHost from the command line through the parent kit.
//
//   larkhostctl demo              a whole session against the stand-in engine, in a fresh folder
//   larkhostctl call M [P] ...    start the host beside this tool, call M with payload P (pairs,
//                                 in order), print every answer and notification, then Release

#include <windows.h>

#include <CLI/CLI.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "parent/host_exit.h"
#include "parent/host_process.h"

namespace {

namespace fs = std::filesystem;
using LarkParent::CallResult;
using LarkParent::HostConnection;
using LarkParent::HostProcess;
using Clock = std::chrono::steady_clock;

const Clock::time_point g_start = Clock::now();
std::mutex g_printLock;

// Heartbeats seen so far, for the demo to wait on.
std::mutex g_beatLock;
std::condition_variable g_beat;
int g_beats = 0;

template <typename... Args>
void Say(const char* format, Args... args) {
  std::lock_guard lock(g_printLock);
  std::printf("[%6.3f] ", std::chrono::duration<double>(Clock::now() - g_start).count());
  std::printf(format, args...);
  std::printf("\n");
  std::fflush(stdout);
}

fs::path ToolDirectory() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return fs::path(path).parent_path();
}

std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

// Prints what the host sends on its own and answers its calls to the parent.
void Attach(HostConnection& connection, const std::string& token) {
  connection.OnNotification([](const AnonRpc::Notification& note) {
    const bool heartbeat = note.type == "2" && note.payload.empty();
    Say("<- notification type \"%s\" payload \"%s\"%s", Printable(note.type).c_str(),
        Printable(note.payload).c_str(), heartbeat ? " (heartbeat)" : "");
    if (!heartbeat) return;
    std::lock_guard lock(g_beatLock);
    ++g_beats;
    g_beat.notify_all();
  });
  connection.Serve("GetJWT", [token](const std::string&) {
    Say("<- host calls GetJWT; answering with a %zu-byte token", token.size());
    return CallResult{0, token};
  });
  connection.Serve("CefControl", [](const std::string& payload) {
    Say("<- host calls CefControl \"%s\"", Printable(payload).c_str());
    return CallResult{0, "ok"};
  });
  connection.Start();
}

bool Call(HostConnection& connection, const std::string& method, const std::string& payload) {
  Say("-> %s \"%s\"", method.c_str(), Printable(payload).c_str());
  const std::optional<CallResult> result =
      connection.Call(method, payload, std::chrono::seconds(30));
  if (!result) {
    Say("   no answer");
    return false;
  }
  Say("   status %u \"%s\"", result->status, Printable(result->body).c_str());
  return true;
}

int Finish(HostProcess& host, const fs::path& logFile) {
  const std::optional<std::uint32_t> code = host.WaitForExit(std::chrono::seconds(30));
  if (code) {
    Say("%s", LarkParent::DescribeHostExit(*code, host.ProcessId(), logFile.parent_path()).c_str());
  } else {
    Say("host did not exit; terminating it");
    host.Terminate(HostProcess::kTerminatedExitCode);
  }
  std::ifstream log(logFile, std::ios::binary);
  if (log) {
    std::printf("\n%s:\n", logFile.string().c_str());
    std::string line;
    while (std::getline(log, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::printf("  %s\n", line.c_str());
    }
  }
  return code && *code == 0 ? 0 : 1;
}

std::unique_ptr<HostProcess> Start(const fs::path& executable) {
  HostProcess::Options options;
  options.executable = executable.wstring();
  std::string error;
  std::unique_ptr<HostProcess> host = HostProcess::Launch(options, &error);
  if (!host) {
    std::fprintf(stderr, "cannot start %s: %s\n", executable.string().c_str(), error.c_str());
    return nullptr;
  }
  Say("started %s, process %u", executable.filename().string().c_str(), host->ProcessId());
  return host;
}

int Demo(int heartbeats, const std::string& token) {
  // A fresh folder: a copy of the host and the stand-in engine, its script, logging on.
  const fs::path bin = ToolDirectory();
  const fs::path dir =
      fs::temp_directory_path() / ("larkhostctl-demo-" + std::to_string(GetCurrentProcessId()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(bin / "LarkRemoteHost.exe", dir / "LarkRemoteHost.exe");
  fs::copy_file(bin / "LarkRemoteStreamer.dll", dir / "LarkRemoteStreamer.dll");
  std::ofstream(dir / "lklogfile.txt") << "logfile_on";
  std::ofstream(dir / "LarkRemoteStreamer.sim")
      << "# the stand-in engine's behaviour for the demo\n"
         "on START data 7 stream started\n"
         "on START data -3 caf\\u00e9\n"
         "on ENABLE_CONTROL control {\"kind\":\"focus\"}\n"
         "on OPEN request 65281 1024\n";
  Say("demo folder %s", dir.string().c_str());

  std::unique_ptr<HostProcess> host = Start(dir / "LarkRemoteHost.exe");
  if (!host) return 1;
  Attach(host->Connection(), token);
  HostConnection& connection = host->Connection();
  Call(connection, "LarkInfo",
       R"({"hWnd":"1234","appID":"demo-app","accountId":"demo-account","did":"device-1",)"
       R"("session":"session-1","language":"en","serverId":"eu-1","country":"DE",)"
       R"("accessToken":"demo-access-token"})");
  Call(connection, "Start", "7");
  Call(connection, "EnableControl", "true");
  Call(connection, "OpenUrl", "https://example.test/app");
  Call(connection, "IsRun", "");
  Say("waiting for %d heartbeats", heartbeats);
  {
    std::unique_lock lock(g_beatLock);
    g_beat.wait_for(lock, std::chrono::seconds(5) * heartbeats,
                    [&] { return g_beats >= heartbeats; });
  }
  Call(connection, "End", "");
  Call(connection, "IsRun", "");
  Call(connection, "Release", "");
  const int result = Finish(*host, dir / "LarkRemoteStreamer.dat");
  std::ifstream record(dir / "LarkRemoteStreamer.calls");
  std::printf("\nwhat the stand-in engine was asked (%s):\n",
              (dir / "LarkRemoteStreamer.calls").string().c_str());
  for (std::string line; std::getline(record, line);)
    std::printf("  %s%s\n", line.substr(0, 100).c_str(), line.size() > 100 ? "..." : "");
  record.close();
  host.reset();
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  return result;
}

int Calls(const fs::path& executable, const std::vector<std::string>& words,
          const std::string& token) {
  std::unique_ptr<HostProcess> host = Start(executable);
  if (!host) return 1;
  Attach(host->Connection(), token);
  for (std::size_t i = 0; i < words.size(); i += 2)
    Call(host->Connection(), words[i], i + 1 < words.size() ? words[i + 1] : "");
  Call(host->Connection(), "Release", "");
  return Finish(*host, executable.parent_path() / "LarkRemoteStreamer.dat");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Drives a LarkRemoteHost through the parent kit."};
  app.require_subcommand(1);
  std::string token = "demo.jwt.token";
  app.add_option("--token", token, "what the parent answers to the host's GetJWT");

  int heartbeats = 2;
  CLI::App* demo = app.add_subcommand("demo", "a whole session against the stand-in engine");
  demo->add_option("--heartbeats", heartbeats, "heartbeats to wait for before ending")
      ->check(CLI::Range(0, 20));

  std::string host = (ToolDirectory() / "LarkRemoteHost.exe").string();
  std::vector<std::string> words;
  CLI::App* call = app.add_subcommand("call", "call methods in order, then Release");
  call->add_option("--host", host, "the host executable")->check(CLI::ExistingFile);
  call->add_option("calls", words, "METHOD [PAYLOAD] pairs")->required();

  CLI11_PARSE(app, argc, argv);
  if (*demo) return Demo(heartbeats, token);
  return Calls(host, words, token);
}
