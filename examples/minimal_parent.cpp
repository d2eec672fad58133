// A minimal parent: launches the host installed beside this program (or the one named on the
// command line), creates and starts a session, waits for a heartbeat and releases the host.
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "parent/host_process.h"
#include "parent/host_protocol.h"
#include "parent/module_folder.h"

using namespace LarkParent;

int main(int argc, char** argv) {
  // What the handlers use is declared before the host: they run until the connection stops,
  // which the HostProcess destructor may only do while it ends the host.
  std::mutex mutex;
  std::condition_variable beat;
  int heartbeats = 0;

  HostProcess::Options options;
  options.executable = argc > 1 ? std::filesystem::path(argv[1]).wstring()
                                : (ModuleFolder() / kHostExecutableName).wstring();
  std::string error;
  std::unique_ptr<HostProcess> host = HostProcess::Launch(options, &error);
  if (!host) {
    std::fprintf(stderr, "cannot start the host: %s\n", error.c_str());
    return 1;
  }

  // Handlers run on the connection's threads; register them before Start.
  HostConnection& connection = host->Connection();
  connection.OnNotification([&](const AnonRpc::Notification& note) {
    std::lock_guard<std::mutex> lock(mutex);
    if (IsHeartbeat(note)) {
      ++heartbeats;
      beat.notify_all();
    } else {
      std::printf("engine event %s: %s\n", note.type.c_str(), note.payload.c_str());
    }
  });
  connection.Serve(std::string(kGetJwtMethod), [](const std::string&) {
    return std::optional<CallResult>(CallResult{0, "the-session-token"});
  });
  connection.Serve(std::string(kCefControlMethod), [](const std::string&) {
    return std::optional<CallResult>(CallResult{0, "ok"});  // the host ignores the answer
  });
  connection.Start();

  // The transport (Ok) and the method's own verdict (an "error:..." text) are separate.
  const auto call = [&](const char* method, const std::string& payload) {
    const std::optional<CallResult> result = connection.Call(method, payload);
    std::printf("%s: %s\n", method, !result ? "no answer" : result->body.c_str());
    return result && result->Succeeded();
  };
  // "hWnd": the plug-in's window handle as a decimal string; the other members are optional.
  bool ok = call("LarkInfo", R"({"hWnd":"0","appID":"my-app","accessToken":"..."})") &&
            call("Start", "1");
  {
    std::unique_lock<std::mutex> lock(mutex);
    ok = beat.wait_for(lock, 3 * kHeartbeatPeriod, [&] { return heartbeats > 0; }) && ok;
  }
  std::printf("heartbeats: %d\n", heartbeats);
  ok = call("Release", "") && ok;
  const std::optional<std::uint32_t> code = host->WaitForExit(std::chrono::seconds(30));
  std::printf("host exited with %s\n", code ? std::to_string(*code).c_str() : "nothing yet");
  return ok && code == 0u ? 0 : 1;
}
