// larkhostctl: drives a LarkRemoteHost through the parent kit, with every frame on its pipes
// visible; decodes captures; runs the demo. `larkhostctl --help` tells how.

#include <fcntl.h>
#include <io.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "parent/host_protocol.h"
#include "parent/module_folder.h"
#include "tools/decode.h"
#include "tools/demo.h"
#include "tools/hosts.h"
#include "tools/session.h"

namespace {

using namespace Larkhostctl;
namespace fs = std::filesystem;

constexpr int kBadUsage = 2;

int BadUsage(const std::string& message) {
  std::fprintf(stderr, "larkhostctl: %s\n", message.c_str());
  return kBadUsage;
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

// What the command line asks for.
struct Arguments {
  enum class Mode { kSession, kDemo, kDecode, kHosts, kStop };
  Mode mode = Mode::kSession;
  SessionOptions options;
  std::vector<std::string> commands;  // one an argument
  std::string script;                 // a script file; "-": standard input
  int demoHeartbeats = 2;
  fs::path decodeFile;
  std::string decodePipe;
  std::uint32_t stopProcess = 0;
  std::string stopWait = "45s";
};

// The arguments; none when the run ends here (help was asked for, or the usage is bad, which has
// been said), with `*exitCode` to end it with.
std::optional<Arguments> ParseArguments(int argc, char** argv, int* exitCode) {
  CLI::App app{
      "Drives a LarkRemoteHost through the parent kit: launches it, runs the commands given as "
      "arguments (one an argument), from a script, or typed at the prompt, and prints every "
      "frame, notification and reverse call with the time since the launch."};
  app.footer(std::string("\n") + kCommandHelp);
  app.failure_message([](const CLI::App*, const CLI::Error& error) {
    return "larkhostctl: " + std::string(error.what()) + "\n";
  });

  Arguments arguments;
  SessionOptions& options = arguments.options;
  options.host = LarkParent::ModuleFolder() / LarkParent::kHostExecutableName;
  std::string jwtFile, callTimeout = "30s";
  std::vector<std::string> unanswered;
  app.add_option("commands", arguments.commands,
                 "commands to run, one an argument: \"call IsRun\"");
  app.add_option("-f,--file", arguments.script,
                 "run the commands of a script file (-: standard input)");
  app.add_option("--host", options.host, "the host to launch (default: the one beside this tool)");
  CLI::Option* jwt = app.add_option("--jwt", options.token, "the answer to the host's GetJWT");
  app.add_option("--jwt-file", jwtFile, "the same from a file, without its trailing line ends")
      ->excludes(jwt)
      ->check(CLI::ExistingFile);
  app.add_option("--cef-status", options.cefStatus, "the status answering CefControl (0)");
  app.add_option("--cef-body", options.cefBody, "the body answering CefControl (ok)");
  app.add_option("--no-answer", unanswered, "leave the host's calls of METHOD unanswered")
      ->type_name("METHOD")
      ->allow_extra_args(false);
  app.add_option("--call-timeout", callTimeout, "how long a call waits for its answer (30s)");
  app.add_flag("--heartbeats", options.print.heartbeats, "a line for each heartbeat");
  app.add_flag("--trace", options.print.trace, "a hex dump of every frame");
  app.add_flag("--json", options.print.json, "one JSON object a line instead of text");
  app.add_flag("--log", options.log,
               "switch the host's log on for this run and print its lines as they come");
  app.add_option("--capture", options.capture, "write every frame, its pipe and time, to a file");

  CLI::App* demo = app.add_subcommand("demo", "a whole session against the stand-in engine");
  demo->add_option("--heartbeats", arguments.demoHeartbeats, "heartbeats to wait for before ending")
      ->check(CLI::Range(0, 20));
  demo->fallthrough();

  CLI::App* decode = app.add_subcommand(
      "decode", "print the frames of a capture, or of one pipe's bytes (binary or hex text)");
  decode->add_option("file", arguments.decodeFile, "the capture or the pipe's bytes")->required();
  decode
      ->add_option("--pipe", arguments.decodePipe,
                   "the pipe the bytes crossed: request, response, reverse-request, "
                   "reverse-response or notify")
      ->check([](const std::string& name) {
        return PipeNamed(name) ? std::string() : "no pipe is called " + name;
      });
  decode->fallthrough();

  CLI::App* hosts = app.add_subcommand(
      "hosts",
      "list the hosts running in this session, whoever launched them: process id and "
      "start time");
  CLI::App* stop = app.add_subcommand("stop", kStopHelp);
  stop->add_option("PID", arguments.stopProcess, "the host's process id")->required();
  stop->add_option("--wait", arguments.stopWait,
                   "how long the host gets to exit after WM_CLOSE (45s)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    *exitCode = app.exit(error) == 0 ? 0 : kBadUsage;
    return std::nullopt;
  }
  options.unanswered.insert(unanswered.begin(), unanswered.end());
  if (!jwtFile.empty()) {
    std::ifstream in(jwtFile, std::ios::binary);
    std::string token(std::istreambuf_iterator<char>(in), {});
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    options.token = token;
  }
  const std::optional<std::chrono::milliseconds> timeout = ParseDuration(callTimeout);
  if (!timeout) {
    *exitCode = BadUsage("--call-timeout: \"" + callTimeout + "\" is no TIME");
    return std::nullopt;
  }
  options.callTimeout = *timeout;

  if (*decode)
    arguments.mode = Arguments::Mode::kDecode;
  else if (*hosts)
    arguments.mode = Arguments::Mode::kHosts;
  else if (*stop)
    arguments.mode = Arguments::Mode::kStop;
  else if (*demo)
    arguments.mode = Arguments::Mode::kDemo;
  return arguments;
}

// The session's commands, from the script (or standard input when there are no commands and no
// prompt), then from the arguments; none when one is bad, with `*error` saying why.
std::optional<std::vector<Command>> CollectCommands(const std::string& script,
                                                    std::vector<std::string> commands, bool prompt,
                                                    std::string* error) {
  std::vector<Command> run;
  if (!script.empty() || (commands.empty() && !prompt)) {
    const bool fromStdin = script.empty() || script == "-";
    std::ifstream file;
    if (!fromStdin) file.open(script, std::ios::binary);
    if (!fromStdin && !file) {
      *error = "cannot read the script " + script;
      return std::nullopt;
    }
    std::optional<std::vector<Command>> parsed =
        ParseScript(fromStdin ? std::cin : file, fromStdin ? "stdin" : script,
                    fromStdin ? fs::current_path() : fs::absolute(script).parent_path(), error);
    if (!parsed) return std::nullopt;
    run = std::move(*parsed);
  }
  if (!commands.empty() && commands[0] == "call") {
    // The older form: a lone "call", then METHOD PAYLOAD pairs, each an argument of its own.
    for (std::size_t i = 1; i < commands.size(); i += 2) {
      const std::string payload = i + 1 < commands.size() ? commands[i + 1] : "";
      run.push_back({Command::Kind::Call, commands[i], payload, {}, "call " + commands[i]});
    }
    commands.clear();
  }
  for (const std::string& text : commands) {
    std::string why;
    std::optional<Command> command = ParseCommand(text, fs::current_path(), &why);
    if (!command) {
      *error = "argument \"" + text + "\": " + why;
      return std::nullopt;
    }
    run.push_back(std::move(*command));
  }
  return run;
}

}  // namespace

int Main(int argc, char** argv) {
  // Lines end in LF alone, whatever reads them.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);

  int exitCode = 0;
  std::optional<Arguments> arguments = ParseArguments(argc, argv, &exitCode);
  if (!arguments) return exitCode;
  const SessionOptions& options = arguments->options;
  switch (arguments->mode) {
    case Arguments::Mode::kDecode:
      return Decode(arguments->decodeFile, PipeNamed(arguments->decodePipe), options.print);
    case Arguments::Mode::kHosts:
      return ListHosts();
    case Arguments::Mode::kStop: {
      const std::optional<std::chrono::milliseconds> wait = ParseDuration(arguments->stopWait);
      if (!wait) return BadUsage("--wait: \"" + arguments->stopWait + "\" is no TIME");
      return StopHost(arguments->stopProcess, *wait);
    }
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
      CollectCommands(arguments->script, arguments->commands, prompt, &error);
  if (!run) return BadUsage(error);

  Session session(options);
  if (!session.Launch()) return 1;
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
