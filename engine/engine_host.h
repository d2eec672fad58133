#pragma once

// What the engine bridge needs from the host process: the window the engine is created with,
// a way to run work on the main thread, the published endpoint that the engine's callbacks reach
// the parent through, and the engine. The host connects them once, before any request is
// served; tests connect fakes. The engine's callbacks have no context argument, so this is the
// one process-wide way to them.

#include <functional>
#include <string>

#include "rpc/endpoint_slot.h"

namespace LarkEngine {

class Engine;

struct EngineHost {
  void* mainWindow = nullptr;
  // Runs the task on the main thread and returns its result text (or an "error:" text when
  // the task could not be run there).
  std::function<std::string(std::function<std::string()>)> runOnMainThread;
  AnonRpc::EndpointSlot* endpoint = nullptr;
  LarkEngine::Engine* engine = nullptr;
};

void ConnectEngineHost(EngineHost host);
const EngineHost& ConnectedEngineHost();

}  // namespace LarkEngine
