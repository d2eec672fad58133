#include "engine/engine_methods.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

#include <nlohmann/json.hpp>

#include "engine/engine.h"
#include "engine/engine_callbacks.h"
#include "engine/engine_host.h"
#include "logging/log.h"

namespace LarkEngine {

using LarkLogging::LogEnabled;
using LarkLogging::LogLine;

namespace {

constexpr char kCreateTag[] = "HandleRemoteInfo::<lambda_1>::operator ()";

const char* Flag(bool value) {
  return value ? "true" : "false";
}

// "1" or "true", exactly; anything else is off.
bool ParseFlag(const std::string& payload) {
  return payload == "1" || payload == "true";
}

// Like std::stoi, with its failure texts spelled the same on every compiler.
int ParseInt(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str()) throw std::invalid_argument("invalid stoi argument");
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
    throw std::out_of_range("stoi argument out of range");
  return static_cast<int>(value);
}

// The parent's window handle as strtoull reads it; nullopt when no digit can be read or the
// value does not fit in 64 bits, since no window can have such a handle.
std::optional<std::uint64_t> ParseWindowHandle(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str() || errno == ERANGE) return std::nullopt;
  return value;
}

// The main thread's part of "LarkInfo".
std::string CreateEngine(const std::string& payload) {
  LogLine(kCreateTag, "REMOTE_CREATE on main thread");
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(payload);
  } catch (const nlohmann::json::parse_error&) {
    LogLine(kCreateTag, "LarkInfo payload parse error");
    return "error:invalid_payload";
  } catch (const std::exception&) {
    return "error:invalid_payload";  // well-formed, but a number too large to represent
  }
  const std::string hWnd = GetJsonString(json, "hWnd");
  const std::string appId = GetJsonString(json, "appID");
  const std::string accountId = GetJsonString(json, "accountId");
  const std::string did = GetJsonString(json, "did");
  const std::string session = GetJsonString(json, "session");
  const std::string language = GetJsonString(json, "language");
  const std::string serverId = GetJsonString(json, "serverId");
  const std::string country = GetJsonString(json, "country");
  const std::string accessToken = GetJsonString(json, "accessToken");
  if (hWnd.empty()) return "error:invalid_payload";
  const std::optional<std::uint64_t> parentWindow = ParseWindowHandle(hWnd);
  if (!parentWindow) return "error:invalid_payload";

  const auto create = [&](Engine::Locked& engine) -> std::string {
    const EngineExports& e = engine.entryPoints;
    void*& instance = engine.instance;
    // A parent that asks again (after a time-out, a reconnect) replaces the instance: the old
    // one would otherwise run on, unreachable, until the library is unloaded under it.
    if (instance != nullptr) {
      LogLine(kCreateTag, "REMOTE_DELETE previous instance");
      if (e.destroy != nullptr) engine.Call(kDeleteExport, e.destroy, instance);
      instance = nullptr;
    }
    instance =
        engine.Call(kCreateExport, e.create, ConnectedEngineHost().mainWindow, *parentWindow);
    if (instance == nullptr) {
      LogLine(kCreateTag, "REMOTE_CREATE failed");
      return "error:create_failed";
    }
    LogLine(kCreateTag, "REMOTE_CREATE success");
    const bool accepted = engine.Call(
        kLarkInfoExport, e.larkInfo, instance, appId.c_str(), accountId.c_str(), did.c_str(),
        session.c_str(), language.c_str(), serverId.c_str(), country.c_str(), accessToken.c_str());
    LogLine(kCreateTag, "REMOTE_LARK_INFO result : ", accepted ? "1" : "0");
    if (!accepted) return "error:lark_info_failed";
    engine.Call(kCallbackRequestExport, e.callbackRequest, instance, EngineRequestCallback);
    engine.Call(kCallbackDataExport, e.callbackData, instance, EngineDataCallback);
    const bool registered = engine.Call(kCallbackControlIpcExport, e.callbackControlIpc, instance,
                                        DllControlIpcCallback);
    LogLine(kCreateTag,
            "[ctl-ipc] 0) REMOTE_CALLBACK_CONTROL_IPC register result=", registered ? "1" : "0");
    return "ok";
  };
  LarkEngine::Engine* engine = ConnectedEngineHost().engine;
  return engine ? engine->WithLock(create).value_or("error:dll_not_loaded")
                : "error:dll_not_loaded";
}

// Runs `call(engine)` when the connected engine has an instance; nullopt otherwise.
template <typename Call>
auto WithInstance(Call&& call) -> std::optional<std::invoke_result_t<Call, Engine::Locked&>> {
  LarkEngine::Engine* engine = ConnectedEngineHost().engine;
  if (engine == nullptr) return std::nullopt;
  return engine->WithInstance(std::forward<Call>(call));
}

// `call(engine, entry)` with the given entry, when it and an instance exist; "false" otherwise.
template <typename Entry, typename Call>
std::string CallEngine(Entry EngineExports::*entry, Call call) {
  return WithInstance([&](Engine::Locked& engine) -> std::string {
           const Entry function = engine.entryPoints.*entry;
           if (function == nullptr) return "false";
           return Flag(call(engine, function));
         })
      .value_or("false");
}

}  // namespace

std::string GetJsonString(const nlohmann::json& value, const char* name) {
  if (!value.is_object()) return {};
  const auto member = value.find(name);
  if (member == value.end() || !member->is_string()) return {};
  return member->get<std::string>();
}

std::string HandleRemoteInfo(const std::string& payload) {
  const EngineHost& host = ConnectedEngineHost();
  if (host.engine == nullptr || !host.engine->Loaded()) return "error:dll_not_loaded";
  if (LogEnabled()) LogLine("HandleRemoteInfo", "HandleRemoteInfo : ", MaskAccessToken(payload));
  if (!host.runOnMainThread) return "error:post_message_failed";
  return host.runOnMainThread([payload] { return CreateEngine(payload); });
}

std::string HandleRemoteStart(const std::string& payload) {
  return WithInstance([&](Engine::Locked& engine) -> std::string {
           LogLine("HandleRemoteStart", "Start : ", payload);
           const int value = ParseInt(payload);
           return engine.Call(kStartExport, engine.entryPoints.start, engine.instance, value)
                      ? "ok"
                      : "error:start_failed";
         })
      .value_or("error:not_initialized");
}

std::string HandleRemoteOpenUrl(const std::string& payload) {
  return CallEngine(&EngineExports::open, [&](const Engine::Locked& engine, LkOpenFn open) {
    return engine.Call(kOpenExport, open, engine.instance, payload.c_str());
  });
}

std::string HandleRemoteEnableControl(const std::string& payload) {
  return CallEngine(&EngineExports::enableControl, [&](const Engine::Locked& engine,
                                                       LkEnableControlFn enableControl) {
    const bool enable = ParseFlag(payload);
    LogLine("HandleRemoteEnableControl", "HandleRemoteEnableControl : ", Flag(enable));
    return engine.Call(kEnableControlExport, enableControl, engine.instance, enable);
  });
}

std::string HandleCefEnableControl(const std::string& payload) {
  return CallEngine(&EngineExports::cefInput,
                    [&](const Engine::Locked& engine, LkCefInputFn cefInput) {
                      const bool enable = ParseFlag(payload);
                      LogLine("HandleCefEnableControl", "HandleCefEnableControl : ", Flag(enable));
                      return engine.Call(kCefInputExport, cefInput, engine.instance, enable);
                    });
}

std::string HandleRemoteEnd(const std::string&) {
  if (LarkEngine::Engine* engine = ConnectedEngineHost().engine) engine->DeleteInstance();
  return "ok";
}

std::string HandleRemoteIsRun(const std::string&) {
  return CallEngine(&EngineExports::isRun, [](const Engine::Locked& engine, LkIsRunFn isRun) {
    return engine.Call(kIsRunExport, isRun, engine.instance);
  });
}

namespace {

constexpr std::string_view kTokenKey = "accessToken";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where a value that is not a string literal ends: at what would end it in JSON.
std::size_t BareValueEnd(const std::string& text, std::size_t i) {
  while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != ']' && text[i] != '\n' &&
         text[i] != '\r')
    ++i;
  return i;
}

// Where an object or array starting at i ends (one past its closing bracket), skipping string
// literals; the end of the text if it never closes.
std::size_t NestedValueEnd(const std::string& text, std::size_t i) {
  int depth = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      for (++i; i < text.size() && text[i] != c; ++i)
        if (text[i] == '\\') ++i;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if ((c == '}' || c == ']') && --depth == 0) {
      return i + 1;
    }
  }
  return text.size();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The string literal opening at i with its quote: the index of its closing quote (npos when it
// never closes), and whether its text, escapes decoded, is the token's key.
std::pair<std::size_t, bool> ScanLiteral(const std::string& text, std::size_t i) {
  const char quote = text[i];
  std::size_t length = 0;  // characters decoded so far
  bool matches = true;     // and each was the token key's
  for (++i; i < text.size(); ++i) {
    char c = text[i];
    if (c == quote) return {i, matches && length == kTokenKey.size()};
    if (c == '\\' && i + 1 < text.size()) {
      c = text[++i];
      if (c == 'u') {
        int unit = 0;
        for (int digits = 0; digits < 4 && unit >= 0; ++digits) {
          const int digit = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
          unit = digit < 0 ? -1 : unit * 16 + digit;
          if (digit >= 0) ++i;
        }
        c = unit > 0 && unit < 0x80 ? static_cast<char>(unit) : '\0';
      }
    }
    matches = matches && length < kTokenKey.size() && kTokenKey[length] == c;
    ++length;
  }
  return {std::string::npos, false};
}

}  // namespace

std::string MaskAccessToken(const std::string& payload) {
  // One pass over the text, valid JSON or not. A key that reads "accessToken" once its escapes
  // are decoded, quoted either way or bare, followed by a colon, has its value replaced by ***:
  // the inside of a string literal (to the end of the text if it never closes), a whole object
  // or array, or anything else up to what would end a value.
  std::string out;
  std::size_t copied = 0;
  const auto mask = [&](std::size_t from, std::size_t to) {
    out.append(payload, copied, from - copied);
    out += "***";
    copied = to;
  };
  bool maskNext = false;  // just after the token key's colon
  std::size_t i = 0;
  while (i < payload.size()) {
    const char c = payload[i];
    if (IsBlank(c)) {
      ++i;
      continue;
    }
    bool isKey = false;
    if (maskNext) {
      maskNext = false;
      if (c == '"' || c == '\'') {
        const std::size_t close = ScanLiteral(payload, i).first;
        mask(i + 1, close == std::string::npos ? payload.size() : close);
        i = close == std::string::npos ? payload.size() : close + 1;
      } else {
        // Whatever follows a closed object or array up to what ends a value goes too, so the
        // masked text masks to itself.
        const std::size_t end =
            BareValueEnd(payload, c == '{' || c == '[' ? NestedValueEnd(payload, i) : i);
        mask(i, end);
        i = end;
      }
      continue;
    }
    if (c == '"' || c == '\'') {
      const auto [close, matches] = ScanLiteral(payload, i);
      if (close == std::string::npos) break;  // nothing after it can be a key
      isKey = matches;
      i = close + 1;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      const std::size_t start = i;
      while (i < payload.size() &&
             (std::isalnum(static_cast<unsigned char>(payload[i])) || payload[i] == '_'))
        ++i;
      isKey = std::string_view(payload).substr(start, i - start) == kTokenKey;
    } else {
      ++i;
      continue;
    }
    if (!isKey) continue;
    std::size_t next = i;
    while (next < payload.size() && IsBlank(payload[next])) ++next;
    if (next < payload.size() && payload[next] == ':') {
      maskNext = true;
      i = next + 1;
    }
  }
  out.append(payload, copied, std::string::npos);
  return out;
}

}  // namespace LarkEngine
