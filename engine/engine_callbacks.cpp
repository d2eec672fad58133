#include "engine/engine_callbacks.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "logging/log.h"
#include "protocol/lark_protocol.h"
#include "rpc/endpoint_slot.h"
#include "rpc/rpc_endpoint.h"

namespace LarkEngine {

using LarkLogging::LogLine;

namespace {

constexpr char kControlTag[] = "DllControlIpcCallback";
constexpr std::size_t kMaxTokenBytes = 1023;
constexpr int kMaxTokenCapacity = 1024;

std::atomic<AnonRpc::EndpointSlot*> g_endpoint{nullptr};

AnonRpc::EndpointSlot::Lease Endpoint() {
  AnonRpc::EndpointSlot* slot = g_endpoint.load();
  return slot != nullptr ? slot->Acquire() : AnonRpc::EndpointSlot::Lease();
}

}  // namespace

void ConnectCallbacks(AnonRpc::EndpointSlot* endpoint) {
  g_endpoint.store(endpoint);
}

extern "C" void EngineDataCallback(int eventType, const char16_t* text) noexcept {
  if (text == nullptr) return;
  try {
    std::string payload;
    for (const char16_t* unit = text; *unit != 0; ++unit)
      payload += static_cast<char>(*unit & 0xFF);  // the low byte only, by design of the protocol
    if (AnonRpc::EndpointSlot::Lease endpoint = Endpoint())
      endpoint->Sender().Enqueue(std::to_string(eventType), payload);
  } catch (...) {
    // Out of memory: the event is lost, the engine carries on.
  }
}

extern "C" void EngineRequestCallback(int requestCode, char* buffer, int capacity) noexcept {
  if (buffer == nullptr || requestCode != kJwtRequestCode || capacity > kMaxTokenCapacity ||
      capacity <= 0)
    return;
  try {
    AnonRpc::EndpointSlot::Lease endpoint = Endpoint();
    if (!endpoint) return;
    const std::string token = endpoint->Caller().Call(LarkProtocol::kGetJwtMethod, "");
    const std::size_t length =
        std::min({token.size(), kMaxTokenBytes, static_cast<std::size_t>(capacity)});
    // The engine's contract: no terminating zero, the bytes behind the copy untouched.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
    if (length != 0) std::memcpy(buffer, token.data(), length);
  } catch (...) {
    // No token: time-out, the parent's refusal, a broken or stopped pipe. The buffer stays as it
    // was.
  }
}

extern "C" void DllControlIpcCallback(const char* text) noexcept {
  try {
    if (text == nullptr) {
      LogLine(kControlTag, "[ctl-ipc] 3) DllControlIpcCallback null payload");
      return;
    }
    AnonRpc::EndpointSlot::Lease endpoint = Endpoint();
    if (!endpoint) {
      LogLine(kControlTag, "[ctl-ipc] 3) DllControlIpcCallback no child endpoint");
      return;
    }
    const std::size_t length = std::strlen(text);
    LogLine(kControlTag, "[ctl-ipc] 3) DllControlIpcCallback entry len=", length);
    try {
      // The answer, and a later time-out of the call, are of no interest.
      endpoint->Caller().CallAsync(LarkProtocol::kCefControlMethod, std::string(text, length));
      LogLine(kControlTag,
              "[ctl-ipc] 4) AsyncCallParent queued method=", LarkProtocol::kCefControlMethod);
    } catch (const std::exception& error) {
      LogLine(kControlTag, "[ctl-ipc] 4x) AsyncCallParent exception: ", error.what());
    }
  } catch (...) {
    // Nothing may unwind into the engine.
  }
}

}  // namespace LarkEngine
