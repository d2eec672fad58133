#include "tools/command.h"

#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <system_error>

#include "protocol/lark_protocol.h"

namespace Larkhostctl {

const char kCommandHelp[] =
    "Commands (one a line; in a script '#' starts a comment line):\n"
    "  call METHOD [PAYLOAD]    call the host; PAYLOAD is the rest of the line, @FILE its bytes\n"
    "  wait-notify TYPE [TIME]  wait for a notification of TYPE not waited for before\n"
    "  wait-call METHOD [TIME]  the same for a call of the host's (GetJWT, CefControl)\n"
    "  sleep TIME               pause\n"
    "  wait-exit [TIME]         wait until the host has exited\n"
    "  close                    send WM_CLOSE to the host's window\n"
    "  kill                     terminate the host\n"
    "  help                     this text\n"
    "TIME is milliseconds, or with a unit: 500ms, 5s; waits give up after 30s by default.\n"
    "At the prompt and in a script, quit or the end of input ends the commands. As arguments,\n"
    "a lone call followed by METHOD PAYLOAD pairs, each an argument of its own, calls them in\n"
    "turn.\n";

const char kTimeForms[] =
    "write milliseconds as 500 or 500ms, seconds as 5s, with no blank before the unit";

namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view Trim(std::string_view text) {
  const std::size_t start = text.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(kBlanks) - start + 1);
}

// Splits off the first word.
std::string_view Word(std::string_view& rest) {
  rest = Trim(rest);
  const std::size_t end = std::min(rest.find_first_of(kBlanks), rest.size());
  const std::string_view word = rest.substr(0, end);
  rest = Trim(rest.substr(end));
  return word;
}

struct Syntax {
  std::string_view word;
  Command::Kind kind;
  bool name;  // takes a first argument
  bool time;  // takes an optional time-out (a required time for sleep)
  std::string_view takes;
};

constexpr Syntax kSyntax[] = {
    {"call", Command::Kind::Call, true, false, "METHOD [PAYLOAD]"},
    {"wait-notify", Command::Kind::WaitNotify, true, true, "TYPE [TIME]"},
    {"wait-call", Command::Kind::WaitCall, true, true, "METHOD [TIME]"},
    {"sleep", Command::Kind::Sleep, false, true, "TIME"},
    {"wait-exit", Command::Kind::WaitExit, false, true, "[TIME]"},
    {"close", Command::Kind::Close, false, false, "nothing"},
    {"kill", Command::Kind::Kill, false, false, "nothing"},
    {"help", Command::Kind::Help, false, false, "nothing"},
};

bool IsFolder(const std::filesystem::path& path) {
  std::error_code ignored;
  return std::filesystem::is_directory(path, ignored);
}

std::string ReadFailure(const std::string& what, const std::filesystem::path& file, int error) {
  return "cannot read " + what + file.string() + ": " + OpenFailure(file, error);
}

}  // namespace

std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
  const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  if (failure != std::errc() || end == text.data()) return std::nullopt;
  if (unit.empty() || unit == "ms") return std::chrono::milliseconds(value);
  if (unit == "s") return std::chrono::seconds(value);
  return std::nullopt;
}

std::optional<std::chrono::milliseconds> ParseTime(std::string_view text, std::string* error) {
  const std::optional<std::chrono::milliseconds> time = ParseDuration(text);
  if (!time) *error = "\"" + std::string(text) + "\" is no TIME; " + kTimeForms;
  return time;
}

std::string OpenFailure(const std::filesystem::path& file, int error) {
  if (IsFolder(file)) return "it is a folder";
  if (error == 0) return "the system gave no reason";
  return std::generic_category().message(error);
}

std::string AnswerAdvice(std::string_view method, const LarkParent::CallResult& answer) {
  if (method == LarkProtocol::kStartMethod && !answer.Ok() &&
      (answer.body == "invalid stoi argument" || answer.body == "stoi argument out of range"))
    return "the payload of Start is a decimal int of 32 bits: call Start 7";
  if (method == LarkProtocol::kStartMethod && answer.body == LarkProtocol::kNotInitializedAnswer)
    return "Start needs an engine instance: call LarkInfo first";
  if (method == LarkProtocol::kLarkInfoMethod && answer.body == LarkProtocol::kInvalidPayloadAnswer)
    return "the payload of LarkInfo is a JSON object whose \"hWnd\" is the parent window's "
           "handle as a string of decimal digits: call LarkInfo {\"hWnd\":\"1234\"}";
  return {};
}

bool IsBlankOrComment(std::string_view line) {
  line = Trim(line);
  return line.empty() || line[0] == '#';
}

std::optional<Command> ParseCommand(std::string_view line, const std::filesystem::path& folder,
                                    std::string* error) {
  std::string_view rest = line;
  const std::string_view word = Word(rest);
  const Syntax* syntax = nullptr;
  for (const Syntax& s : kSyntax)
    if (s.word == word) syntax = &s;
  if (syntax == nullptr) {
    *error = "unknown command \"" + std::string(word) + "\" (help lists them)";
    return std::nullopt;
  }
  Command command{syntax->kind, {}, {}, kDefaultWait, std::string(Trim(line))};
  if (syntax->name) {
    command.name = Word(rest);
    if (command.name.empty()) {
      *error = std::string(word) +
               (command.kind == Command::Kind::WaitNotify ? " needs a TYPE" : " needs a METHOD");
      return std::nullopt;
    }
  }
  if (command.kind == Command::Kind::Call) {
    if (rest.substr(0, 1) != "@") {
      command.payload = rest;
      return command;
    }
    const std::filesystem::path file = folder / std::string(rest.substr(1));
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in || IsFolder(file)) {
      *error = ReadFailure("the payload file ", file, errno);
      return std::nullopt;
    }
    command.payload.assign(std::istreambuf_iterator<char>(in), {});
    return command;
  }
  if (syntax->time && rest.empty() && command.kind == Command::Kind::Sleep) {
    *error = std::string(word) + " needs a TIME; " + kTimeForms;
    return std::nullopt;
  }
  if (syntax->time && !rest.empty()) {
    std::string why;
    const std::optional<std::chrono::milliseconds> time = ParseTime(Word(rest), &why);
    if (!time) {
      *error = std::string(word) + ": " + why;
      return std::nullopt;
    }
    command.duration = *time;
  }
  if (!rest.empty()) {
    *error = "\"" + std::string(rest) + "\" is too much for " + std::string(word) +
             ", which takes " + std::string(syntax->takes) +
             (syntax->time ? std::string("; ") + kTimeForms : std::string());
    return std::nullopt;
  }
  return command;
}

std::optional<std::vector<Command>> ParseScript(std::istream& in, const std::string& name,
                                                const std::filesystem::path& folder,
                                                std::string* error) {
  std::vector<Command> commands;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (Trim(line) == "quit") break;  // as at the prompt, so that piped input may end with it
    if (IsBlankOrComment(line)) continue;
    std::optional<Command> command = ParseCommand(line, folder, error);
    if (!command) {
      *error = name + ":" + std::to_string(number) + ": " + *error;
      return std::nullopt;
    }
    commands.push_back(std::move(*command));
  }
  return commands;
}

std::optional<std::vector<Command>> CollectCommands(const std::string& script,
                                                    std::vector<std::string> commands, bool prompt,
                                                    std::istream& in, std::string* error) {
  std::vector<Command> run;
  if (!script.empty() || (commands.empty() && !prompt)) {
    const bool fromIn = script.empty() || script == "-";
    std::ifstream file;
    errno = 0;
    if (!fromIn) file.open(script, std::ios::binary);
    if (!fromIn && (!file || IsFolder(script))) {
      *error = ReadFailure("the script ", script, errno);
      return std::nullopt;
    }
    const std::filesystem::path folder =
        fromIn ? std::filesystem::current_path() : std::filesystem::absolute(script).parent_path();
    std::optional<std::vector<Command>> parsed =
        ParseScript(fromIn ? in : file, fromIn ? "stdin" : script, folder, error);
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
    std::optional<Command> command = ParseCommand(text, std::filesystem::current_path(), &why);
    if (!command) {
      *error = "argument \"" + text + "\": " + why;
      return std::nullopt;
    }
    run.push_back(std::move(*command));
  }
  return run;
}

}  // namespace Larkhostctl
