#pragma once

namespace AnonRpc {
class EndpointSlot;
}

namespace LarkEngine {

// The three functions the engine calls back on threads of its own, at any time after they are
// registered. They reach the parent through the published endpoint and do nothing when none is
// published; no exception ever leaves them into the engine.

inline constexpr int kJwtRequestCode = 0xFF01;

// Where the callbacks find the endpoint: the slot, or none (null). The engine passes them no
// context, so this is the one process-wide way to them. Set before the callbacks are registered,
// cleared once the engine is torn down; the slot must outlive its use here.
void ConnectCallbacks(AnonRpc::EndpointSlot* endpoint);

extern "C" {

// Forwards an engine event as a notification: type = the event number in decimal, payload = the
// low byte of each UTF-16 unit.
void EngineDataCallback(int eventType, const char16_t* text) noexcept;

// Answers a token request (code kJwtRequestCode, capacity at most 1024) with the parent's
// "GetJWT" answer: at most 1023 bytes and never more than `capacity`, no terminating zero.
void EngineRequestCallback(int requestCode, char* buffer, int capacity) noexcept;

// Forwards a control text to the parent's "CefControl" without waiting for the answer.
void DllControlIpcCallback(const char* text) noexcept;

}  // extern "C"

}  // namespace LarkEngine
