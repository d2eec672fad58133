// A parent in a process of its own, for the fault runs that kill the parent: launches the host,
// drives a session to a phase and stays in it until it is terminated.
//
//   fault_parent HOST_EXE PROGRESS_FILE PHASE
//     larkinfo  waits in "LarkInfo" (the engine is scripted to hold CREATE)
//     getjwt    never returns from answering "GetJWT" (the engine is scripted to ask on START)
//     flood     a started session while the engine floods events (scripted on START)
//     idle      a started session, nothing more
//
// PROGRESS_FILE gets the line "host <process id>" once the host runs, then "phase <PHASE>" when
// the phase is reached. Exits with 2 for a bad command line, 3 when the host cannot be started.

#include <windows.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "parent/host_process.h"
#include "protocol/lark_protocol.h"

namespace {

void Progress(const std::string& file, const std::string& line) {
  std::ofstream(file, std::ios::app | std::ios::binary) << line << '\n' << std::flush;
}

[[noreturn]] void StayForever() {
  for (;;) Sleep(INFINITE);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string host = argv[1];
  const std::string progress = argv[2];
  const std::string phase = argv[3];

  LarkParent::HostProcess::Options options;
  options.executable = std::wstring(host.begin(), host.end());
  std::unique_ptr<LarkParent::HostProcess> launched =
      LarkParent::HostProcess::Launch(options, nullptr);
  if (!launched) return 3;
  LarkParent::HostConnection& connection = launched->Connection();
  connection.Serve(LarkProtocol::kGetJwtMethod,
                   [&](const std::string&) -> std::optional<LarkParent::CallResult> {
                     Progress(progress, "phase getjwt");
                     StayForever();
                   });
  connection.Start();
  Progress(progress, "host " + std::to_string(launched->ProcessId()));

  if (phase == "larkinfo") Progress(progress, "phase larkinfo");
  connection.Call(LarkProtocol::kLarkInfoMethod, R"({"hWnd":"1"})", std::chrono::hours(1));
  connection.Call(LarkProtocol::kStartMethod, "1", std::chrono::hours(1));
  if (phase == "flood" || phase == "idle") Progress(progress, "phase " + phase);
  StayForever();
}
