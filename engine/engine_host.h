#pragma once

// What the engine bridge needs from the host process: the window the engine is created with,
// a way to run work on the main thread, and the published endpoint that the engine's callbacks
// reach the parent through. The host connects them once, before any request is served; tests
// connect fakes.

#include <functional>
#include <string>

#include "rpc/endpoint_slot.h"

struct EngineHost {
  void* mainWindow = nullptr;
  // Runs the task on the main thread and returns its result text (or an "error:" text when
  // the task could not be run there).
  std::function<std::string(std::function<std::string()>)> runOnMainThread;
  AnonRpc::EndpointSlot* endpoint = nullptr;
};

void ConnectEngineHost(EngineHost host);
const EngineHost& ConnectedEngineHost();
