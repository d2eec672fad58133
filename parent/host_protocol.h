#pragma once

// What a parent needs to know of the host beyond the frames: the names on the wire, the
// heartbeat, and the time limits the host applies to its own calls.

#include <chrono>
#include <string_view>

#include "rpc/wire.h"

namespace LarkParent {

inline constexpr std::wstring_view kHostExecutableName = L"LarkRemoteHost.exe";

// The host's calls to the parent. "GetJWT" has an empty payload and wants the token as the body
// of a status-0 answer; "CefControl" carries the engine's control text and its answer is ignored.
inline constexpr std::string_view kGetJwtMethod = "GetJWT";
inline constexpr std::string_view kCefControlMethod = "CefControl";
// A call of the host's that the parent leaves unanswered this long fails on the host's side.
inline constexpr std::chrono::seconds kReverseCallTimeout{10};

// Every period the host sends a notification of this type with an empty payload; engine events
// come as notifications whose type is the event number in decimal.
inline constexpr std::string_view kHeartbeatType = "2";
inline constexpr std::chrono::seconds kHeartbeatPeriod{3};

inline bool IsHeartbeat(const AnonRpc::Notification& note) {
  return note.type == kHeartbeatType && note.payload.empty();
}

}  // namespace LarkParent
