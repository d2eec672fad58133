#pragma once

// The engine bridge's process-wide state. The loader fills it once on the main thread before any
// other thread starts; afterwards EngineLock is held for every call into the engine and for
// every change of EngineInstance and EngineModule, on whichever thread, so one instance is
// never deleted twice and no entry point runs while the library is being unloaded. The
// engine's own callbacks never take it.

#include <mutex>

#include "engine/engine_api.h"

extern void* EngineModule;               // the loaded library; null when not loaded
extern EngineExports EngineEntryPoints;  // all set or all null after loading
extern void* EngineInstance;             // the current instance; null when none
extern bool EngineUnloaded;              // set by the teardown: no entry point runs again
extern std::mutex EngineLock;
