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
  resolve(e.create, "LKWINSDK_WEBRTC_CREATE");
  resolve(e.destroy, "LKWINSDK_WEBRTC_DELETE");
  resolve(e.larkInfo, "LKWINSDK_WEBRTC_LARK_INFO");
  resolve(e.start, "LKWINSDK_WEBRTC_START");
  resolve(e.isRun, "LKWINSDK_WEBRTC_ISRUN");
  resolve(e.open, "LKWINSDK_WEBRTC_OPEN");
  resolve(e.enableControl, "LKWINSDK_WEBRTC_ENABLE_CONTROL");
  resolve(e.cefInput, "LKWINSDK_WEBRTC_CEF_INPUT");
  resolve(e.release, "LKWINSDK_WEBRTC_RELEASE");
  resolve(e.callbackData, "LKWINSDK_WEBRTC_CALLBACK_DATA");
  resolve(e.callbackRequest, "LKWINSDK_WEBRTC_CALLBACK_REQUEST");
  resolve(e.callbackControlIpc, "LKWINSDK_WEBRTC_CALLBACK_CONTROL_IPC");
  if (!ok) return false;  // the library is unloaded again as `module` goes

  LarkSync::MutexLock lock(lock_);
  module_ = std::make_unique<LoadedLibrary>(std::move(module));
  entryPoints_ = e;
  loaded_ = true;
  return true;
}

}  // namespace LarkEngine
