#include "engine/engine_state.h"

void* EngineModule = nullptr;
EngineExports EngineEntryPoints;
void* EngineInstance = nullptr;
bool EngineUnloaded = false;
std::mutex EngineLock;
