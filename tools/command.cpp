#include "tools/command.h"

#include <charconv>
#include <fstream>
#include <iterator>

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
    "At the prompt, quit or the end of input ends the session. As arguments, a lone call\n"
    "followed by METHOD PAYLOAD pairs, each an argument of its own, calls them in turn.\n";

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
};

constexpr Syntax kSyntax[] = {
    {"call", Command::Kind::Call, true, false},
    {"wait-notify", Command::Kind::WaitNotify, true, true},
    {"wait-call", Command::Kind::WaitCall, true, true},
    {"sleep", Command::Kind::Sleep, false, true},
    {"wait-exit", Command::Kind::WaitExit, false, true},
    {"close", Command::Kind::Close, false, false},
    {"kill", Command::Kind::Kill, false, false},
    {"help", Command::Kind::Help, false, false},
};

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
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      *error = "cannot read the payload file " + file.string();
      return std::nullopt;
    }
    command.payload.assign(std::istreambuf_iterator<char>(in), {});
    return command;
  }
  if (syntax->time && (!rest.empty() || command.kind == Command::Kind::Sleep)) {
    const std::optional<std::chrono::milliseconds> time = ParseDuration(Word(rest));
    if (!time) {
      *error = std::string(word) + " needs a TIME: milliseconds, or with a unit: 500ms, 5s";
      return std::nullopt;
    }
    command.duration = *time;
  }
  if (!rest.empty()) {
    *error = "\"" + std::string(rest) + "\" is too much for " + std::string(word);
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

}  // namespace Larkhostctl
