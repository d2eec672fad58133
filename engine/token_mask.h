#pragma once

#include <string>

namespace LarkEngine {

// The payload with the value of every "accessToken" member masked, the rest byte for byte;
// for the log, which must not keep a bearer credential. Any text, valid JSON or not; the masked
// text masks to itself.
std::string MaskAccessToken(const std::string& payload);

}  // namespace LarkEngine
