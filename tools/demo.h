#pragma once

#include "tools/session.h"

namespace Larkhostctl {

// larkhostctl demo: a whole session against the stand-in engine, in a fresh folder holding
// copies of the host and the engine from `binFolder`, with the host's log followed, then what
// the engine was asked. `options` brings the output options and the token.
int RunDemo(const std::filesystem::path& binFolder, SessionOptions options, int heartbeats);

}  // namespace Larkhostctl
