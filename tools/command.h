#pragma once

// The commands of a session, one a line, as they come from arguments, a script or the prompt.

#include <chrono>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parent/host_connection.h"

namespace Larkhostctl {

struct Command {
  enum class Kind { Call, WaitNotify, WaitCall, Sleep, WaitExit, Close, Kill, Help };
  Kind kind = Kind::Help;
  std::string name;     // the method of call and wait-call, the type of wait-notify
  std::string payload;  // of call
  std::chrono::milliseconds duration{0};  // of sleep; the time-out of a wait
  std::string text;                       // as written, for messages
};

inline constexpr std::chrono::seconds kDefaultWait{30};

// Parses one line. "@FILE" payloads are read at once, relative to `folder`. nullopt, with the
// reason in `error`, when the line is no command.
std::optional<Command> ParseCommand(std::string_view line, const std::filesystem::path& folder,
                                    std::string* error);

// "500" (milliseconds), "500ms" or "5s".
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text);

// The forms of a TIME, for messages.
extern const char kTimeForms[];

// ParseDuration, with "\"5sec\" is no TIME; ..." in `error` when the text is none.
std::optional<std::chrono::milliseconds> ParseTime(std::string_view text, std::string* error);

// Why opening `file` failed, with `error` the errno the attempt left: "No such file or
// directory", "it is a folder".
std::string OpenFailure(const std::filesystem::path& file, int error);

// What a user who met this answer to `method` should do, where the tool knows the method's
// payload: "Start takes a decimal int: call Start 7". Empty when it knows nothing to add.
std::string AnswerAdvice(std::string_view method, const LarkParent::CallResult& answer);

// Whether a script skips the line: blank, or a comment starting with '#'.
bool IsBlankOrComment(std::string_view line);

// The commands of a script, up to a line "quit" if it has one; on the first bad line nullopt with
// "<name>:<line>: <reason>".
std::optional<std::vector<Command>> ParseScript(std::istream& in, const std::string& name,
                                                const std::filesystem::path& folder,
                                                std::string* error);

// The session's commands, from the script (or standard input `in` when there are no commands and
// no prompt), then from the arguments; nullopt when one is bad, with `*error` saying why. A lone
// "call" first takes METHOD PAYLOAD pairs, each an argument of its own.
std::optional<std::vector<Command>> CollectCommands(const std::string& script,
                                                    std::vector<std::string> commands, bool prompt,
                                                    std::istream& in, std::string* error);

// The commands, for `help` and the usage text.
extern const char kCommandHelp[];

}  // namespace Larkhostctl
