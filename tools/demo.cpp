#include "tools/demo.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "protocol/lark_protocol.h"

namespace Larkhostctl {

namespace fs = std::filesystem;

int RunDemo(const fs::path& binFolder, SessionOptions options, int heartbeats) {
  const fs::path folder =
      fs::temp_directory_path() / ("larkhostctl-demo-" + std::to_string(GetCurrentProcessId()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  // The folder goes however the demo ends, a failure to set it up included.
  struct Removal {
    fs::path folder;
    ~Removal() {
      std::error_code ignored;
      fs::remove_all(folder, ignored);
    }
  } removal{folder};
  for (const wchar_t* file : {LarkProtocol::kHostExecutableName, LarkProtocol::kEngineLibraryName})
    fs::copy_file(binFolder / file, folder / file);
  std::ofstream(folder / "LarkRemoteStreamer.sim")
      << "# the stand-in engine's behaviour for the demo\n"
         "on START data 7 stream started\n"
         "on START data -3 caf\\u00e9\n"
         "on ENABLE_CONTROL control {\"kind\":\"focus\"}\n"
         "on OPEN request 65281 1024\n";
  std::printf("demo folder %s\n", folder.string().c_str());

  options.host = folder / LarkProtocol::kHostExecutableName;
  options.log = true;
  options.print.heartbeats = true;
  if (!options.token) options.token = "demo.jwt.token";
  std::string script =
      "call LarkInfo {\"hWnd\":\"1234\",\"appID\":\"demo-app\",\"accountId\":\"demo-account\","
      "\"did\":\"device-1\",\"session\":\"session-1\",\"language\":\"en\",\"serverId\":\"eu-1\","
      "\"country\":\"DE\",\"accessToken\":\"demo-access-token\"}\n"
      "call Start 7\n"
      "wait-notify 7\n"
      "call EnableControl true\n"
      "wait-call CefControl\n"
      "call OpenUrl https://example.test/app\n"
      "wait-call GetJWT\n"
      "call IsRun\n";
  for (int i = 0; i < heartbeats; ++i) script += "wait-notify 2 10s\n";
  script += "call End\ncall IsRun\ncall Release\nwait-exit\n";

  int status = 1;
  {
    Session session(options);
    std::istringstream lines(script);
    std::string error;
    const std::optional<std::vector<Command>> commands = ParseScript(lines, "demo", folder, &error);
    if (commands && session.Launch()) {
      for (const Command& command : *commands)
        if (!session.Run(command)) break;
      status = session.Finish();
    }
  }
  std::ifstream record(folder / "LarkRemoteStreamer.calls");
  std::printf("\nwhat the stand-in engine was asked:\n");
  for (std::string line; std::getline(record, line);)
    std::printf("  %s%s\n", line.substr(0, 100).c_str(), line.size() > 100 ? "..." : "");
  return status;
}

}  // namespace Larkhostctl
