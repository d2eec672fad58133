#include <windows.h>

#include <type_traits>

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

  EngineExports e;
  bool ok = true;
  // Every missing export is looked up and logged; the loop never stops early.
  const auto resolve = [&](auto& entry, const char* name) {
    const FARPROC address = GetProcAddress(module.Get(), name);
    entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(
        reinterpret_cast<void*>(address));
    if (address == nullptr) {
      LogLine("LoadDll::<lambda_1>::operator ()", "GetProcAddress failed : ", name);
      ok = false;
    }
  };
  resolve(e.create, kCreateExport);
  resolve(e.destroy, kDeleteExport);
  resolve(e.larkInfo, kLarkInfoExport);
  resolve(e.start, kStartExport);
  resolve(e.isRun, kIsRunExport);
  resolve(e.open, kOpenExport);
  resolve(e.enableControl, kEnableControlExport);
  resolve(e.cefInput, kCefInputExport);
  resolve(e.release, kReleaseExport);
  resolve(e.callbackData, kCallbackDataExport);
  resolve(e.callbackRequest, kCallbackRequestExport);
  resolve(e.callbackControlIpc, kCallbackControlIpcExport);
  if (!ok) return false;  // the library is unloaded again as `module` goes

  LarkSync::MutexLock lock(lock_);
  module_ = std::make_unique<LoadedLibrary>(std::move(module));
  entryPoints_ = e;
  loaded_ = true;
  return true;
}

}  // namespace LarkEngine
