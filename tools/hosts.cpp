#include "tools/hosts.h"

#include <cstdio>
#include <string>

#include "parent/running_hosts.h"
#include "tools/session.h"

namespace Larkhostctl {

int ListHosts() {
  const std::vector<LarkParent::RunningHost> hosts = LarkParent::FindRunningHosts();
  if (hosts.empty()) std::puts("no host runs in this session");
  for (const LarkParent::RunningHost& host : hosts)
    std::puts(LarkParent::DescribeRunningHost(host).c_str());
  std::fflush(stdout);
  return 0;
}

int StopHost(std::uint32_t processId, std::chrono::milliseconds closeBound) {
  std::string error;
  std::filesystem::path executable;
  const std::optional<LarkParent::HostEnding> ending =
      LarkParent::EndRunningHost(processId, closeBound, &error, &executable);
  if (!ending) {
    std::fprintf(stderr, "larkhostctl: stop: %s\n", error.c_str());
    return 1;
  }
  const std::string process = "process " + std::to_string(processId);
  if (!ending->exitCode) {
    std::fprintf(stderr, "larkhostctl: stop: %s still runs after TerminateProcess\n",
                 process.c_str());
    return 1;
  }
  const std::uint32_t code = *ending->exitCode;
  const std::string exit = "code " + std::to_string(code) + " (" +
                           ExitMeaning(code, processId, executable.parent_path()) + ")";
  switch (ending->by) {
    case LarkParent::EndedBy::Termination:
      std::printf("%s did not exit within %s of WM_CLOSE: terminated, %s\n", process.c_str(),
                  Seconds(closeBound).c_str(), exit.c_str());
      break;
    case LarkParent::EndedBy::Close:
      std::printf("%s ended after WM_CLOSE with %s\n", process.c_str(), exit.c_str());
      break;
    default:
      std::printf("%s had ended with %s\n", process.c_str(), exit.c_str());
      break;
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace Larkhostctl
