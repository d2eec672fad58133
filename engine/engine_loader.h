#pragma once

#include <string>

// Loads the engine library at `path` and resolves all twelve exports into EngineEntryPoints,
// all or nothing: on any failure the library is unloaded again and EngineModule and every entry
// are null. Logs each failure. Main thread, before any other thread starts.
bool LoadDll(const std::wstring& path);

// Unloads the library (FreeLibrary) and clears EngineModule. Call with EngineLock held.
void UnloadEngineModule();
