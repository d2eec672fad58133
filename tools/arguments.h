#pragma once

// larkhostctl's command line: what it asks for, and messages that say what to give when it is
// wrong. Portable, so that every message is tested natively.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tools/frame_printer.h"

namespace Larkhostctl {

struct SessionOptions {
  std::filesystem::path host;
  std::optional<std::string> token;  // the answer to GetJWT; none: an error status
  std::uint32_t cefStatus = 0;       // the answer to CefControl
  std::string cefBody = "ok";
  std::set<std::string> unanswered;  // reverse calls left without an answer
  PrintOptions print;
  bool log = false;
  std::filesystem::path capture;  // empty: none
  std::chrono::milliseconds callTimeout{30000};
  bool failOnRefusal = false;  // a call answered "error:..." ends with kRefusedExitCode
};

inline constexpr int kFailedExitCode = 1;
inline constexpr int kBadUsageExitCode = 2;
// Every call was answered and every wait met, but a call was refused (--fail-on-refusal).
inline constexpr int kRefusedExitCode = 3;

struct Arguments {
  enum class Mode { kSession, kDemo, kDecode, kHosts, kStop };
  Mode mode = Mode::kSession;
  SessionOptions options;
  std::vector<std::string> commands;  // one an argument
  std::string script;                 // a script file; "-": standard input
  int demoHeartbeats = 2;
  std::filesystem::path decodeFile;
  std::optional<Pipe> decodePipe;
  std::uint32_t stopProcess = 0;
  std::chrono::milliseconds stopWait{45000};
};

// The arguments, `defaultHost` the host launched without --host; nullopt when the run ends here
// (help was asked for, or the usage is bad, which has been said on `err`), with `*exitCode` to
// end it with.
std::optional<Arguments> ParseArguments(int argc, const char* const* argv,
                                        const std::filesystem::path& defaultHost, int* exitCode,
                                        std::ostream& out, std::ostream& err);

// The names of the pipes, for messages: "request, response, ... or notify".
std::string PipeNames();

// The help of `stop`.
extern const char kStopHelp[];

}  // namespace Larkhostctl
