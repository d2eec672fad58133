#include "engine/engine_methods.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "engine/engine_callbacks.h"
#include "engine/engine_host.h"
#include "engine/engine_state.h"
#include "logging/log.h"

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

  std::lock_guard lock(EngineLock);
  if (EngineUnloaded) return "error:dll_not_loaded";
  const EngineExports& engine = EngineEntryPoints;
  EngineInstance = engine.create(ConnectedEngineHost().mainWindow, *parentWindow);
  if (EngineInstance == nullptr) {
    LogLine(kCreateTag, "REMOTE_CREATE failed");
    return "error:create_failed";
  }
  LogLine(kCreateTag, "REMOTE_CREATE success");
  const bool accepted = engine.larkInfo(EngineInstance, appId.c_str(), accountId.c_str(),
                                        did.c_str(), session.c_str(), language.c_str(),
                                        serverId.c_str(), country.c_str(), accessToken.c_str());
  LogLine(kCreateTag, "REMOTE_LARK_INFO result : ", accepted ? "1" : "0");
  if (!accepted) return "error:lark_info_failed";
  engine.callbackRequest(EngineInstance, EngineRequestCallback);
  engine.callbackData(EngineInstance, EngineDataCallback);
  const bool registered = engine.callbackControlIpc(EngineInstance, DllControlIpcCallback);
  LogLine(kCreateTag,
          "[ctl-ipc] 0) REMOTE_CALLBACK_CONTROL_IPC register result=", registered ? "1" : "0");
  return "ok";
}

// Calls `call(instance)` when the entry and an instance exist; "false" otherwise.
template <typename Entry, typename Call>
std::string CallEngine(Entry entry, Call call) {
  std::lock_guard lock(EngineLock);
  if (entry == nullptr || EngineInstance == nullptr) return "false";
  return Flag(call(EngineInstance));
}

}  // namespace

std::string GetJsonString(const nlohmann::json& value, const char* name) {
  if (!value.is_object()) return {};
  const auto member = value.find(name);
  if (member == value.end() || !member->is_string()) return {};
  return member->get<std::string>();
}

std::string HandleRemoteInfo(const std::string& payload) {
  if (EngineEntryPoints.create == nullptr) return "error:dll_not_loaded";
  LogLine("HandleRemoteInfo", "HandleRemoteInfo : ", MaskAccessToken(payload));
  const EngineHost& host = ConnectedEngineHost();
  if (!host.runOnMainThread) return "error:post_message_failed";
  return host.runOnMainThread([payload] { return CreateEngine(payload); });
}

std::string HandleRemoteStart(const std::string& payload) {
  std::lock_guard lock(EngineLock);
  if (EngineInstance == nullptr) return "error:not_initialized";
  LogLine("HandleRemoteStart", "Start : ", payload);
  const int value = ParseInt(payload);
  return EngineEntryPoints.start(EngineInstance, value) ? "ok" : "error:start_failed";
}

std::string HandleRemoteOpenUrl(const std::string& payload) {
  return CallEngine(EngineEntryPoints.open, [&](void* instance) {
    return EngineEntryPoints.open(instance, payload.c_str());
  });
}

std::string HandleRemoteEnableControl(const std::string& payload) {
  return CallEngine(EngineEntryPoints.enableControl, [&](void* instance) {
    const bool enable = ParseFlag(payload);
    LogLine("HandleRemoteEnableControl", "HandleRemoteEnableControl : ", Flag(enable));
    return EngineEntryPoints.enableControl(instance, enable);
  });
}

std::string HandleCefEnableControl(const std::string& payload) {
  return CallEngine(EngineEntryPoints.cefInput, [&](void* instance) {
    const bool enable = ParseFlag(payload);
    LogLine("HandleCefEnableControl", "HandleCefEnableControl : ", Flag(enable));
    return EngineEntryPoints.cefInput(instance, enable);
  });
}

std::string HandleRemoteEnd(const std::string&) {
  std::lock_guard lock(EngineLock);
  if (EngineEntryPoints.destroy != nullptr && EngineInstance != nullptr) {
    EngineEntryPoints.destroy(EngineInstance);
    EngineInstance = nullptr;
  }
  return "ok";
}

std::string HandleRemoteIsRun(const std::string&) {
  return CallEngine(EngineEntryPoints.isRun,
                    [](void* instance) { return EngineEntryPoints.isRun(instance); });
}

std::string MaskAccessToken(const std::string& payload) {
  // Walks the text's string literals; the literal after a key that decodes to "accessToken"
  // keeps its quotes and loses its content. Tolerant of malformed text: it only masks.
  std::string out;
  std::size_t copied = 0;
  bool maskNext = false;
  for (std::size_t i = 0; i < payload.size(); ++i) {
    const char c = payload[i];
    if (c != '"') {
      if (c != ':' && c != ' ' && c != '\t' && c != '\r' && c != '\n') maskNext = false;
      continue;
    }
    std::size_t end = i + 1;
    while (end < payload.size() && payload[end] != '"') end += payload[end] == '\\' ? 2 : 1;
    if (end >= payload.size()) break;  // unterminated: nothing more to find
    if (maskNext) {
      out.append(payload, copied, i + 1 - copied);
      out += "***";
      copied = end;
      maskNext = false;
    } else {
      try {
        maskNext = nlohmann::json::parse(payload.substr(i, end + 1 - i)) == "accessToken";
      } catch (const std::exception&) {
        maskNext = false;
      }
      // A key is followed by ':'; a value that merely says "accessToken" is not.
      std::size_t next = end + 1;
      while (next < payload.size() && (payload[next] == ' ' || payload[next] == '\t' ||
                                       payload[next] == '\r' || payload[next] == '\n'))
        ++next;
      if (next >= payload.size() || payload[next] != ':') maskNext = false;
    }
    i = end;
  }
  out.append(payload, copied, std::string::npos);
  return out;
}
