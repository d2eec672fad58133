#pragma once

// What a parent needs to know of the host beyond the frames: the names on the wire, the
// heartbeat, and the time limits the host applies to its own calls. The facts themselves are
// LarkProtocol's; the kit names them here for its users.

#include <string_view>

#include "protocol/lark_protocol.h"
#include "rpc/wire.h"

namespace LarkParent {

inline constexpr std::wstring_view kHostExecutableName = LarkProtocol::kHostExecutableName;

using LarkProtocol::kEnableCefMethod;
using LarkProtocol::kEnableControlMethod;
using LarkProtocol::kEndMethod;
using LarkProtocol::kIsRunMethod;
using LarkProtocol::kLarkInfoMethod;
using LarkProtocol::kOpenUrlMethod;
using LarkProtocol::kReleaseMethod;
using LarkProtocol::kStartMethod;

using LarkProtocol::kCefControlMethod;
using LarkProtocol::kGetJwtMethod;
using LarkProtocol::kReverseCallTimeout;

using LarkProtocol::kHeartbeatPeriod;
using LarkProtocol::kHeartbeatType;

inline bool IsHeartbeat(const AnonRpc::Notification& note) {
  return note.type == kHeartbeatType && note.payload.empty();
}

}  // namespace LarkParent
