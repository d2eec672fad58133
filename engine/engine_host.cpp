#include "engine/engine_host.h"

namespace LarkEngine {

namespace {
EngineHost g_host;
}

void ConnectEngineHost(EngineHost host) {
  g_host = std::move(host);
}

const EngineHost& ConnectedEngineHost() {
  return g_host;
}

}  // namespace LarkEngine
