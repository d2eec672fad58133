#include <windows.h>

#include <cstddef>

#include "engine/engine.h"
#include "logging/log.h"
#include "win/unique_handle.h"

namespace LarkEngine {

using LarkLogging::LogLine;

namespace {

struct LoadedLibrary : Engine::Library {
  explicit LoadedLibrary(LarkWin::UniqueModule loaded) : module(std::move(loaded)) {}
  LarkWin::UniqueModule module;
};

}  // namespace

bool Engine::Load(const std::wstring& path) {
  LarkWin::UniqueModule module(LoadLibraryW(path.c_str()));
  const DWORD error = GetLastError();
  if (!module) {
    LogLine("LoadDll", "LoadLibraryW failed : ", static_cast<unsigned long>(error));
    return false;
  }

  EngineExportAddresses addresses{};
  bool ok = true;
  // Every missing export is looked up and logged; the loop never stops early.
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    const char* name = LarkProtocol::kEngineExportNames[i];
    const FARPROC address = GetProcAddress(module.Get(), name);
    addresses[i] = reinterpret_cast<void*>(address);
    if (address == nullptr) {
      LogLine("LoadDll::<lambda_1>::operator ()", "GetProcAddress failed : ", name);
      ok = false;
    }
  }
  if (!ok) return false;  // the library is unloaded again as `module` goes

  LarkSync::MutexLock lock(lock_);
  module_ = std::make_unique<LoadedLibrary>(std::move(module));
  entryPoints_ = ExportsAt(addresses);
  loaded_ = true;
  return true;
}

}  // namespace LarkEngine
