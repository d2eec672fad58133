// larkhostctl: drives a LarkRemoteHost through the parent kit, with every frame on its pipes
// visible; decodes captures; runs the demo. `larkhostctl --help` tells how.

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "parent/host_protocol.h"
#include "parent/module_folder.h"
#include "tools/arguments.h"
#include "tools/decode.h"
#include "tools/demo.h"
#include "tools/hosts.h"
#include "tools/session.h"

namespace {

using namespace Larkhostctl;
namespace fs = std::filesystem;

int BadUsage(const std::string& message) {
  std::fprintf(stderr, "larkhostctl: %s\n", message.c_str());
  return kBadUsageExitCode;
}

void Interact(Session& session) {
  for (std::string line;;) {
    std::fputs("larkhostctl> ", stdout);
    std::fflush(stdout);
    if (!std::getline(std::cin, line) || line == "quit" || line == "quit\r") return;
    if (IsBlankOrComment(line)) continue;
    std::string error;
    if (const std::optional<Command> command = ParseCommand(line, fs::current_path(), &error))
      session.Run(*command);
    else
      std::fprintf(stderr, "larkhostctl: %s\n", error.c_str());
  }
}

}  // namespace

int Main(int argc, char** argv) {
  // Lines end in LF alone, whatever reads them.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);

  int exitCode = 0;
  std::optional<Arguments> arguments =
      ParseArguments(argc, argv, LarkParent::ModuleFolder() / LarkParent::kHostExecutableName,
                     &exitCode, std::cout, std::cerr);
  if (!arguments) return exitCode;
  const SessionOptions& options = arguments->options;
  switch (arguments->mode) {
    case Arguments::Mode::kDecode:
      return Decode(arguments->decodeFile, arguments->decodePipe, options.print);
    case Arguments::Mode::kHosts:
      return ListHosts();
    case Arguments::Mode::kStop:
      return StopHost(arguments->stopProcess, arguments->stopWait);
    case Arguments::Mode::kDemo:
      return RunDemo(LarkParent::ModuleFolder(), options, arguments->demoHeartbeats);
    case Arguments::Mode::kSession:
      break;
  }

  // Every command is checked before the host starts, so a typo costs no session.
  const bool prompt =
      arguments->script.empty() && arguments->commands.empty() && _isatty(_fileno(stdin));
  std::string error;
  const std::optional<std::vector<Command>> run =
      CollectCommands(arguments->script, arguments->commands, prompt, std::cin, &error);
  if (!run) return BadUsage(error);

  Session session(options);
  if (!session.Launch()) return kFailedExitCode;
  for (const Command& command : *run)
    if (!session.Run(command)) break;
  if (prompt) Interact(session);
  return session.Finish();
}

// An exception ends larkhostctl with one line and exit code 1, never through std::terminate.
int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "larkhostctl: %s\n", error.what());
  } catch (...) {
    std::fflush(stdout);
    std::fprintf(stderr, "larkhostctl: an exception of unknown type\n");
  }
  return 1;
}
