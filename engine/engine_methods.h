#pragma once

// The RPC methods that drive the engine. Each runs on the request server's thread, takes the
// request payload and returns the result text. Every engine call goes through the connected
// engine's lock, so none overlaps the main thread's teardown and none reaches an unloaded
// library.

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace LarkEngine {

// "LarkInfo": creates the engine instance on the main thread from the JSON session data, hands
// it the session strings and registers the callbacks. An instance already there is deleted
// right before CREATE; a payload refused before that leaves it alone.
std::string HandleRemoteInfo(const std::string& payload);

// The member's text when `value` is an object holding it as a JSON string; empty otherwise.
std::string GetJsonString(const nlohmann::json& value, const char* name);

// "Start": throws std::invalid_argument("invalid stoi argument") or
// std::out_of_range("stoi argument out of range") for a payload that is no 32-bit number.
std::string HandleRemoteStart(const std::string& payload);
std::string HandleRemoteOpenUrl(const std::string& payload);
std::string HandleRemoteEnableControl(const std::string& payload);
std::string HandleCefEnableControl(const std::string& payload);
std::string HandleRemoteEnd(const std::string& payload);
std::string HandleRemoteIsRun(const std::string& payload);

}  // namespace LarkEngine
