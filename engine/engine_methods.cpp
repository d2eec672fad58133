#include "engine/engine_methods.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

#include "engine/engine.h"
#include "engine/engine_callbacks.h"
#include "engine/token_mask.h"
#include "logging/log.h"
#include "protocol/lark_protocol.h"

namespace LarkEngine {

using LarkLogging::LogEnabled;
using LarkLogging::LogLine;

namespace {

// The log's tags are part of its format, so they stay as they are whatever the members are
// called.
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

// The member's text when `value` is an object holding it as a JSON string; empty otherwise.
std::string GetJsonString(const nlohmann::json& value, const char* name) {
  if (!value.is_object()) return {};
  const auto member = value.find(name);
  if (member == value.end() || !member->is_string()) return {};
  return member->get<std::string>();
}

// `call(engine, entry)` with the given entry, when it and an instance exist; "false" otherwise.
template <typename Entry, typename Call>
std::string CallEngine(Engine& engine, Entry EngineExports::*entry, Call call) {
  return engine
      .WithInstance([&](Engine::Locked& locked) -> std::string {
        const Entry function = locked.entryPoints.*entry;
        if (function == nullptr) return "false";
        return Flag(call(locked, function));
      })
      .value_or("false");
}

}  // namespace

EngineMethods::EngineMethods(Engine& engine, void* mainWindow, MainThreadRunner runOnMainThread)
    : engine_(engine), mainWindow_(mainWindow), runOnMainThread_(std::move(runOnMainThread)) {}

std::string EngineMethods::CreateEngine(const std::string& payload) {
  LogLine(kCreateTag, "REMOTE_CREATE on main thread");
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(payload);
  } catch (const nlohmann::json::parse_error&) {
    LogLine(kCreateTag, "LarkInfo payload parse error");
    return LarkProtocol::kInvalidPayloadAnswer;
  } catch (const std::exception&) {
    return LarkProtocol::kInvalidPayloadAnswer;  // well-formed, but a number too large to represent
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
  if (hWnd.empty()) return LarkProtocol::kInvalidPayloadAnswer;
  const std::optional<std::uint64_t> parentWindow = ParseWindowHandle(hWnd);
  if (!parentWindow) return LarkProtocol::kInvalidPayloadAnswer;

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
    instance = engine.Call(kCreateExport, e.create, mainWindow_, *parentWindow);
    if (instance == nullptr) {
      LogLine(kCreateTag, "REMOTE_CREATE failed");
      return LarkProtocol::kCreateFailedAnswer;
    }
    LogLine(kCreateTag, "REMOTE_CREATE success");
    const bool accepted = engine.Call(
        kLarkInfoExport, e.larkInfo, instance, appId.c_str(), accountId.c_str(), did.c_str(),
        session.c_str(), language.c_str(), serverId.c_str(), country.c_str(), accessToken.c_str());
    LogLine(kCreateTag, "REMOTE_LARK_INFO result : ", accepted ? "1" : "0");
    if (!accepted) return LarkProtocol::kLarkInfoFailedAnswer;
    engine.Call(kCallbackRequestExport, e.callbackRequest, instance, EngineRequestCallback);
    engine.Call(kCallbackDataExport, e.callbackData, instance, EngineDataCallback);
    const bool registered = engine.Call(kCallbackControlIpcExport, e.callbackControlIpc, instance,
                                        DllControlIpcCallback);
    LogLine(kCreateTag,
            "[ctl-ipc] 0) REMOTE_CALLBACK_CONTROL_IPC register result=", registered ? "1" : "0");
    return LarkProtocol::kOkAnswer;
  };
  return engine_.WithLock(create).value_or(LarkProtocol::kDllNotLoadedAnswer);
}

std::string EngineMethods::LarkInfo(const std::string& payload) {
  if (!engine_.Loaded()) return LarkProtocol::kDllNotLoadedAnswer;
  if (LogEnabled()) LogLine("HandleRemoteInfo", "HandleRemoteInfo : ", MaskAccessToken(payload));
  if (!runOnMainThread_) return LarkProtocol::kPostMessageFailedAnswer;
  return runOnMainThread_([this, payload] { return CreateEngine(payload); });
}

std::string EngineMethods::Start(const std::string& payload) {
  return engine_
      .WithInstance([&](Engine::Locked& engine) -> std::string {
        LogLine("HandleRemoteStart", "Start : ", payload);
        const int value = ParseInt(payload);
        return engine.Call(kStartExport, engine.entryPoints.start, engine.instance, value)
                   ? LarkProtocol::kOkAnswer
                   : LarkProtocol::kStartFailedAnswer;
      })
      .value_or(LarkProtocol::kNotInitializedAnswer);
}

std::string EngineMethods::OpenUrl(const std::string& payload) {
  return CallEngine(engine_, &EngineExports::open,
                    [&](const Engine::Locked& engine, LkOpenFn open) {
                      return engine.Call(kOpenExport, open, engine.instance, payload.c_str());
                    });
}

std::string EngineMethods::EnableControl(const std::string& payload) {
  return CallEngine(
      engine_, &EngineExports::enableControl,
      [&](const Engine::Locked& engine, LkEnableControlFn enableControl) {
        const bool enable = ParseFlag(payload);
        LogLine("HandleRemoteEnableControl", "HandleRemoteEnableControl : ", Flag(enable));
        return engine.Call(kEnableControlExport, enableControl, engine.instance, enable);
      });
}

std::string EngineMethods::EnableCef(const std::string& payload) {
  return CallEngine(engine_, &EngineExports::cefInput,
                    [&](const Engine::Locked& engine, LkCefInputFn cefInput) {
                      const bool enable = ParseFlag(payload);
                      LogLine("HandleCefEnableControl", "HandleCefEnableControl : ", Flag(enable));
                      return engine.Call(kCefInputExport, cefInput, engine.instance, enable);
                    });
}

std::string EngineMethods::End(const std::string&) {
  engine_.DeleteInstance();
  return LarkProtocol::kOkAnswer;
}

std::string EngineMethods::IsRun(const std::string&) {
  return CallEngine(engine_, &EngineExports::isRun,
                    [](const Engine::Locked& engine, LkIsRunFn isRun) {
                      return engine.Call(kIsRunExport, isRun, engine.instance);
                    });
}

}  // namespace LarkEngine
