// larkhostctl's portable half: its command line, its commands and TIMEs, decoding and the lines
// it prints, with the messages a user meets when they are wrong.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "rpc/wire.h"
#include "support/temp_dir.h"
#include "tools/arguments.h"
#include "tools/command.h"
#include "tools/decode.h"

namespace Larkhostctl {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kForms =
    "write milliseconds as 500 or 500ms, seconds as 5s, with no blank before the unit";

TEST(LarkhostctlCommands, ParseTheirArgumentsOrSayWhatTheyTake) {
  lark::test::TempDir dir("larkhostctl-parts-");
  std::ofstream(dir.Path() / "info.json", std::ios::binary) << "{\"hWnd\":\"1\"}\n";
  struct Case {
    std::string line;
    Command::Kind kind;
    std::string name, payload;
    std::chrono::milliseconds duration;
    std::string error;  // empty: the line parses
  };
  const Case cases[] = {
      {"call LarkInfo  {\"hWnd\":\"1\"} ", Command::Kind::Call, "LarkInfo", "{\"hWnd\":\"1\"}",
       kDefaultWait, ""},
      {"call LarkInfo @info.json", Command::Kind::Call, "LarkInfo", "{\"hWnd\":\"1\"}\n",
       kDefaultWait, ""},
      {"wait-notify 7 5s", Command::Kind::WaitNotify, "7", "", 5s, ""},
      {"wait-call GetJWT", Command::Kind::WaitCall, "GetJWT", "", kDefaultWait, ""},
      {"sleep 250", Command::Kind::Sleep, "", "", 250ms, ""},
      {"\twait-exit 1500ms\r", Command::Kind::WaitExit, "", "", 1500ms, ""},
      {"kill", Command::Kind::Kill, "", "", kDefaultWait, ""},
      {"cal IsRun", {}, "", "", {}, "unknown command \"cal\" (help lists them)"},
      {"call", {}, "", "", {}, "call needs a METHOD"},
      {"wait-notify", {}, "", "", {}, "wait-notify needs a TYPE"},
      {"sleep", {}, "", "", {}, "sleep needs a TIME; " + kForms},
      {"sleep 5sec", {}, "", "", {}, "sleep: \"5sec\" is no TIME; " + kForms},
      {"wait-notify 7 5 seconds",
       {},
       "",
       "",
       {},
       "\"seconds\" is too much for wait-notify, which takes TYPE [TIME]; " + kForms},
      {"close now", {}, "", "", {}, "\"now\" is too much for close, which takes nothing"},
      {"call LarkInfo @missing.json",
       {},
       "",
       "",
       {},
       "cannot read the payload file " + (dir.Path() / "missing.json").string() +
           ": No such file or directory"},
      {"call LarkInfo @",
       {},
       "",
       "",
       {},
       "cannot read the payload file " + (dir.Path() / "").string() + ": it is a folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string error;
    const std::optional<Command> command = ParseCommand(c.line, dir.Path(), &error);
    EXPECT_EQ(error, c.error);
    if (!c.error.empty()) {
      EXPECT_FALSE(command);
      continue;
    }
    ASSERT_TRUE(command);
    EXPECT_EQ(command->kind, c.kind);
    EXPECT_EQ(command->name, c.name);
    EXPECT_EQ(command->payload, c.payload);
    EXPECT_EQ(command->duration, c.duration);
  }
}

TEST(LarkhostctlCommands, TimesAreMillisecondsOrCarryMsOrS) {
  const std::pair<const char*, std::optional<std::chrono::milliseconds>> cases[] = {
      {"500", 500ms},
      {"500ms", 500ms},
      {"5s", 5s},
      {"0", 0ms},
      {"4294967295s", std::chrono::seconds(4294967295u)},
      {"5sec", std::nullopt},
      {"5 s", std::nullopt},
      {"", std::nullopt},
      {"s", std::nullopt},
      {"-1", std::nullopt},
      {"4294967296", std::nullopt},
      {"1.5s", std::nullopt},
  };
  for (const auto& [text, time] : cases) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_EQ(ParseTime(text, &error), time);
    EXPECT_EQ(error, time ? "" : "\"" + std::string(text) + "\" is no TIME; " + kForms);
  }
}

TEST(LarkhostctlCommands, AScriptOrTheArgumentsNameTheBadOne) {
  lark::test::TempDir dir("larkhostctl-parts-");
  const std::string script = (dir.Path() / "session.txt").string();
  std::ofstream(script, std::ios::binary) << "# a comment\n\ncall IsRun\nwait-notify 7 5 s\n";
  const std::string missing = (dir.Path() / "missing.txt").string();
  struct Case {
    std::string script;
    std::vector<std::string> commands;
    std::string input;
    std::string error;
    Lines names;  // of the commands when they parse
  };
  const Case cases[] = {
      {script,
       {},
       "",
       script + ":4: \"s\" is too much for wait-notify, which takes TYPE [TIME]; " + kForms,
       {}},
      {missing, {}, "", "cannot read the script " + missing + ": No such file or directory", {}},
      {dir.Path().string(),
       {},
       "",
       "cannot read the script " + dir.Path().string() + ": it is a folder",
       {}},
      {"",
       {"call IsRun", "sleep 5sec"},
       "",
       "argument \"sleep 5sec\": sleep: \"5sec\" is no "
       "TIME; " +
           kForms,
       {}},
      {"", {}, "call Start 7\nwait-call 5s\n", "", {"Start", "5s"}},
      {"-", {"call IsRun"}, "call Start 7\n", "", {"Start", "IsRun"}},
      // Typed at a prompt or piped in, quit ends the input alike.
      {"", {}, "call Start 7\n  quit\r\nno such command\n", "", {"Start"}},
      {"", {"call", "IsRun", "", "Start", "7", "End"}, "", "", {"IsRun", "Start", "End"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    std::istringstream in(c.input);
    std::string error;
    const std::optional<std::vector<Command>> run =
        CollectCommands(c.script, c.commands, false, in, &error);
    EXPECT_EQ(error, c.error);
    Lines names;
    for (const Command& command : run.value_or(std::vector<Command>{}))
      names.push_back(command.name);
    EXPECT_EQ(names, c.names);
  }
}

TEST(LarkhostctlCommands, AnswersTheToolKnowsComeWithWhatToDo) {
  struct Case {
    const char* method;
    LarkParent::CallResult answer;
    std::string advice;
  };
  const Case cases[] = {
      {"Start",
       {3, "invalid stoi argument"},
       "the payload of Start is a decimal int of 32 bits: call Start 7"},
      {"Start",
       {3, "stoi argument out of range"},
       "the payload of Start is a decimal int of 32 bits: call Start 7"},
      {"Start",
       {0, "error:not_initialized"},
       "Start needs an engine instance: call LarkInfo first"},
      {"LarkInfo",
       {0, "error:invalid_payload"},
       "the payload of LarkInfo is a JSON object whose \"hWnd\" is the parent window's handle as "
       "a string of decimal digits: call LarkInfo {\"hWnd\":\"1234\"}"},
      {"LarkInfo", {0, "error:create_failed"}, ""},
      {"Start", {0, "ok"}, ""},
      {"OpenUrl", {3, "invalid stoi argument"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.answer.body);
    EXPECT_EQ(AnswerAdvice(c.method, c.answer), c.advice);
  }
}

struct Parsed {
  std::optional<Arguments> arguments;
  int exitCode = -1;
  std::string err;
};

Parsed Parse(std::vector<const char*> argv) {
  argv.insert(argv.begin(), "larkhostctl");
  Parsed parsed;
  std::ostringstream out, err;
  parsed.arguments = ParseArguments(static_cast<int>(argv.size()), argv.data(), "host.exe",
                                    &parsed.exitCode, out, err);
  parsed.err = err.str();
  return parsed;
}

TEST(LarkhostctlArguments, BadOnesSayWhatToGive) {
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      {{"--host"},
       "--host needs a value: PATH, the host to launch (default: the one beside this tool)"},
      {{"stop", "12", "--wait"},
       "--wait needs a value: TIME, how long the host gets to exit after WM_CLOSE (45s)"},
      {{"decode"},
       "decode needs FILE: the capture or the pipe's bytes; see larkhostctl decode "
       "--help"},
      {{"stop"}, "stop needs PID: the host's process id; see larkhostctl stop --help"},
      {{"--call-timeout", "5sec", "call IsRun"}, "--call-timeout: \"5sec\" is no TIME; " + kForms},
      {{"stop", "12", "--wait", "1min"}, "--wait: \"1min\" is no TIME; " + kForms},
      {{"decode", "x.cap", "--pipe", "responses"},
       "--pipe: no pipe is called \"responses\"; the pipes are request, response, "
       "reverse-request, reverse-response or notify"},
  };
  for (const auto& [argv, message] : cases) {
    SCOPED_TRACE(message);
    const Parsed parsed = Parse(argv);
    EXPECT_FALSE(parsed.arguments);
    EXPECT_EQ(parsed.exitCode, kBadUsageExitCode);
    EXPECT_EQ(parsed.err, "larkhostctl: " + message + "\n");
  }
}

TEST(LarkhostctlArguments, GoodOnesReachTheRun) {
  Parsed parsed = Parse({"--fail-on-refusal", "--call-timeout", "2s", "call IsRun"});
  ASSERT_TRUE(parsed.arguments) << parsed.err;
  EXPECT_EQ(parsed.arguments->mode, Arguments::Mode::kSession);
  EXPECT_TRUE(parsed.arguments->options.failOnRefusal);
  EXPECT_EQ(parsed.arguments->options.callTimeout, 2s);
  EXPECT_EQ(parsed.arguments->options.host, "host.exe");
  EXPECT_EQ(parsed.arguments->commands, Lines{"call IsRun"});
  EXPECT_FALSE(Parse({"call IsRun"}).arguments->options.failOnRefusal);

  parsed = Parse({"decode", "x.cap", "--pipe", "notify", "--json"});
  ASSERT_TRUE(parsed.arguments) << parsed.err;
  EXPECT_EQ(parsed.arguments->mode, Arguments::Mode::kDecode);
  EXPECT_EQ(parsed.arguments->decodePipe, Pipe::Notify);
  EXPECT_TRUE(parsed.arguments->options.print.json);

  parsed = Parse({"stop", "12", "--wait", "1500ms"});
  ASSERT_TRUE(parsed.arguments) << parsed.err;
  EXPECT_EQ(parsed.arguments->mode, Arguments::Mode::kStop);
  EXPECT_EQ(parsed.arguments->stopProcess, 12u);
  EXPECT_EQ(parsed.arguments->stopWait, 1500ms);
}

std::string Record(int pipe, std::uint64_t time, const std::string& frame) {
  std::string record(1, static_cast<char>(pipe));
  for (int i = 0; i < 8; ++i) record += static_cast<char>(time >> (8 * i));
  for (int i = 0; i < 4; ++i) record += static_cast<char>(frame.size() >> (8 * i));
  return record + frame;
}

struct Decoded {
  int status;
  Lines lines;
  std::string failure;
};

Decoded DecodeBytes(const std::string& bytes, std::optional<Pipe> pipe = std::nullopt,
                    PrintOptions options = {}) {
  std::istringstream in(bytes);
  Decoded decoded;
  decoded.status = Decode(
      in, "f", pipe, options, [&](std::string_view line) { decoded.lines.emplace_back(line); },
      &decoded.failure);
  return decoded;
}

TEST(LarkhostctlDecode, PrintsWhatWholeFramesSayAndWhereTheRestBreaks) {
  const std::string request = AnonRpc::EncodeRequest(2, "Start", "7");
  const std::string response = AnonRpc::EncodeResponse(2, AnonRpc::RpcStatus::Ok, "ok");
  std::string tooLong = request;
  tooLong[8] = '\x40';  // the method's length: 0x4B4B40, above the limit
  tooLong[9] = '\x4B';
  tooLong[10] = '\x4C';
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<Pipe> pipe;
    int status;
    Lines lines;
    std::string failure;
  };
  const Case cases[] = {
      {"a capture",
       "LARKCAP1" + Record(0, 194000, request) + Record(1, 196000, response),
       std::nullopt,
       0,
       {R"([    0.194] -> request #2 Start "7")", R"([    0.196] <- response #2 Start: Ok "ok")",
        "heartbeats: 0"},
       ""},
      {"a frame torn in its record",
       "LARKCAP1" + Record(0, 194000, request + request.substr(0, 10)),
       std::nullopt,
       1,
       {R"([    0.194] -> request #2 Start "7")", "heartbeats: 0"},
       "f: request pipe, offset 22: the input ends inside a frame header, 10 of 16 bytes"},
      {"a record cut short",
       "LARKCAP1" + Record(0, 194000, request).substr(0, 20),
       std::nullopt,
       1,
       {"heartbeats: 0"},
       "f: offset 8: the capture ends inside a record, 20 of 35 bytes"},
      {"an oversized field",
       request + tooLong,
       Pipe::Request,
       1,
       {R"(-> request #2 Start "7")", "heartbeats: 0"},
       "f: offset 22: method length 5000000 is above the limit of 4194304 bytes"},
      {"raw bytes without their pipe",
       request,
       std::nullopt,
       1,
       {},
       "f is no capture; name the pipe its bytes crossed with --pipe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded decoded = DecodeBytes(c.bytes, c.pipe);
    EXPECT_EQ(decoded.status, c.status);
    EXPECT_EQ(decoded.lines, c.lines);
    EXPECT_EQ(decoded.failure, c.failure);
  }
}

TEST(LarkhostctlPrinter, WritesTextOrOneJsonObjectALine) {
  const std::string bytes =
      "LARKCAP1" + Record(0, 1000, AnonRpc::EncodeRequest(1, "IsRun", "")) +
      Record(1, 2000, AnonRpc::EncodeResponse(1, AnonRpc::RpcStatus::MethodNotFound, "no\x01")) +
      Record(4, 3000000, AnonRpc::EncodeNotification("2", "")) +
      Record(2, 3100000, AnonRpc::EncodeRequest(1, "GetJWT", ""));
  const Decoded text = DecodeBytes(bytes);
  EXPECT_EQ(text.lines, (Lines{R"([    0.001] -> request #1 IsRun "")",
                               R"([    0.002] <- response #1 IsRun: MethodNotFound "no\x01")",
                               R"([    3.100] <- reverse-request #1 GetJWT "")", "heartbeats: 1"}));
  PrintOptions json;
  json.json = true;
  json.heartbeats = true;
  const Decoded lines = DecodeBytes(bytes, std::nullopt, json);
  EXPECT_EQ(
      lines.lines,
      (Lines{
          R"({"t":0.001,"pipe":"request","id":1,"method":"IsRun","payload":""})",
          R"({"t":0.002,"pipe":"response","id":1,"status":1,"status_name":"MethodNotFound","body":"no\u0001","method":"IsRun"})",
          R"({"t":3.0,"pipe":"notify","type":"2","payload":"","heartbeat":true})",
          R"({"t":3.1,"pipe":"reverse-request","id":1,"method":"GetJWT","payload":""})",
          R"({"event":"heartbeats","count":1})"}));
}

}  // namespace
}  // namespace Larkhostctl
