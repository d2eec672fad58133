#include "tools/arguments.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <iterator>

#include "tools/command.h"

namespace Larkhostctl {

const char kStopHelp[] =
    "end the host with process id PID for sure: WM_CLOSE, up to --wait (45s, room for the "
    "host's own 30 s shutdown watchdog and its minidump) for it to exit, then TerminateProcess. "
    "\"Release\" cannot be sent: only the program that launched the host holds its pipes";

namespace {

constexpr Pipe kPipes[] = {Pipe::Request, Pipe::Response, Pipe::ReverseRequest,
                           Pipe::ReverseResponse, Pipe::Notify};

const CLI::Validator kTime(
    [](const std::string& text) {
      std::string error;
      return ParseTime(text, &error) ? std::string() : error;
    },
    "");

const CLI::Validator kPipeName(
    [](const std::string& name) {
      return PipeNamed(name) ? std::string()
                             : "no pipe is called \"" + name + "\"; the pipes are " + PipeNames();
    },
    "");

const CLI::Option* OptionNamed(const CLI::App& app, const std::string& name) {
  if (const CLI::Option* option = app.get_option_no_throw(name)) return option;
  for (const CLI::App* sub : app.get_subcommands())
    if (const CLI::Option* option = OptionNamed(*sub, name)) return option;
  return nullptr;
}

const CLI::App* OwnerOf(const CLI::App& app, const CLI::Option* option) {
  for (const CLI::App* sub : app.get_subcommands())
    if (const CLI::App* owner = OwnerOf(*sub, option)) return owner;
  return app.get_option_no_throw(option->get_name()) == option ? &app : nullptr;
}

// CLI11 names what is missing in its own words ("--host: 1 required TEXT missing", "file is
// required"); this says what to give instead.
std::string FailureMessage(const CLI::App* app, const CLI::Error& error) {
  const std::string what = error.what();
  std::string name;
  if (error.get_name() == "ArgumentMismatch")
    name = what.substr(0, what.find(':'));
  else if (error.get_name() == "RequiredError" && what.ends_with(" is required"))
    name = what.substr(0, what.size() - std::string_view(" is required").size());
  const CLI::Option* option = name.empty() ? nullptr : OptionNamed(*app, name);
  if (option == nullptr) return "larkhostctl: " + what + "\n";
  if (option->nonpositional())
    return "larkhostctl: " + name + " needs a value: " + option->get_type_name() + ", " +
           option->get_description() + "\n";
  const CLI::App* owner = OwnerOf(*app, option);
  const std::string who = owner == app ? "larkhostctl" : owner->get_name();
  const std::string command = owner == app ? who : "larkhostctl " + who;
  return "larkhostctl: " + who + " needs " + option->get_type_name() + ": " +
         option->get_description() + "; see " + command + " --help\n";
}

}  // namespace

std::string PipeNames() {
  std::string names;
  for (std::size_t i = 0; i < std::size(kPipes); ++i)
    names += (i == 0                       ? ""
              : i + 1 == std::size(kPipes) ? " or "
                                           : ", ") +
             std::string(PipeName(kPipes[i]));
  return names;
}

std::optional<Arguments> ParseArguments(int argc, const char* const* argv,
                                        const std::filesystem::path& defaultHost, int* exitCode,
                                        std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Drives a LarkRemoteHost through the parent kit: launches it, runs the commands given as "
      "arguments (one an argument), from a script, or typed at the prompt, and prints every "
      "frame, notification and reverse call with the time since the launch."};
  app.footer(std::string("\n") + kCommandHelp);
  app.failure_message(FailureMessage);

  Arguments arguments;
  SessionOptions& options = arguments.options;
  options.host = defaultHost;
  std::string jwtFile, callTimeout = "30s", decodePipe, stopWait = "45s";
  std::vector<std::string> unanswered;
  app.add_option("commands", arguments.commands,
                 "commands to run, one an argument: \"call IsRun\"");
  app.add_option("-f,--file", arguments.script,
                 "run the commands of a script file (-: standard input)")
      ->type_name("FILE");
  app.add_option("--host", options.host, "the host to launch (default: the one beside this tool)")
      ->type_name("PATH");
  CLI::Option* jwt =
      app.add_option("--jwt", options.token, "the answer to the host's GetJWT")->type_name("TOKEN");
  app.add_option("--jwt-file", jwtFile, "the same from a file, without its trailing line ends")
      ->type_name("FILE")
      ->excludes(jwt)
      ->check(CLI::ExistingFile.description(""));
  app.add_option("--cef-status", options.cefStatus, "the status answering CefControl (0)")
      ->type_name("N");
  app.add_option("--cef-body", options.cefBody, "the body answering CefControl (ok)")
      ->type_name("TEXT");
  app.add_option("--no-answer", unanswered, "leave the host's calls of METHOD unanswered")
      ->type_name("METHOD")
      ->allow_extra_args(false);
  app.add_option("--call-timeout", callTimeout, "how long a call waits for its answer (30s)")
      ->type_name("TIME")
      ->check(kTime);
  app.add_flag("--fail-on-refusal", options.failOnRefusal,
               "end with exit status 3 when a call was refused (answered \"error:...\") and "
               "nothing else failed");
  app.add_flag("--heartbeats", options.print.heartbeats, "a line for each heartbeat");
  app.add_flag("--trace", options.print.trace, "a hex dump of every frame");
  app.add_flag("--json", options.print.json, "one JSON object a line instead of text");
  app.add_flag("--log", options.log,
               "switch the host's log on for this run and print its lines as they come");
  app.add_option("--capture", options.capture, "write every frame, its pipe and time, to a file")
      ->type_name("FILE");

  CLI::App* demo = app.add_subcommand("demo", "a whole session against the stand-in engine");
  demo->add_option("--heartbeats", arguments.demoHeartbeats, "heartbeats to wait for before ending")
      ->check(CLI::Range(0, 20));
  demo->fallthrough();

  CLI::App* decode = app.add_subcommand(
      "decode", "print the frames of a capture, or of one pipe's bytes (binary or hex text)");
  decode->add_option("file", arguments.decodeFile, "the capture or the pipe's bytes")
      ->type_name("FILE")
      ->required();
  decode
      ->add_option("--pipe", decodePipe,
                   "the pipe the bytes crossed: request, response, reverse-request, "
                   "reverse-response or notify")
      ->type_name("PIPE")
      ->check(kPipeName);
  decode->fallthrough();

  CLI::App* hosts = app.add_subcommand(
      "hosts",
      "list the hosts running in this session, whoever launched them: process id and "
      "start time");
  CLI::App* stop = app.add_subcommand("stop", kStopHelp);
  stop->add_option("PID", arguments.stopProcess, "the host's process id")
      ->type_name("PID")
      ->required();
  stop->add_option("--wait", stopWait, "how long the host gets to exit after WM_CLOSE (45s)")
      ->type_name("TIME")
      ->check(kTime);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    *exitCode = app.exit(error, out, err) == 0 ? 0 : kBadUsageExitCode;
    return std::nullopt;
  }
  options.unanswered.insert(unanswered.begin(), unanswered.end());
  if (!jwtFile.empty()) {
    std::ifstream in(jwtFile, std::ios::binary);
    std::string token(std::istreambuf_iterator<char>(in), {});
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    options.token = token;
  }
  // The validators let only TIMEs and pipe names through.
  options.callTimeout = *ParseDuration(callTimeout);
  arguments.stopWait = *ParseDuration(stopWait);
  if (!decodePipe.empty()) arguments.decodePipe = PipeNamed(decodePipe);

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

}  // namespace Larkhostctl
