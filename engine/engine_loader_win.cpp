#include <windows.h>

#include <type_traits>

#include "engine/engine_loader.h"
#include "engine/engine_state.h"
#include "logging/log.h"

bool LoadDll(const std::wstring& path) {
  HMODULE module = LoadLibraryW(path.c_str());
  const DWORD error = GetLastError();
  EngineModule = module;
  if (module == nullptr) {
    LogLine("LoadDll", "LoadLibraryW failed : ", static_cast<unsigned long>(error));
    return false;
  }

  EngineExports& e = EngineEntryPoints;
  bool ok = true;
  // Every missing export is looked up and logged; the loop never stops early.
  const auto resolve = [&](auto& entry, const char* name) {
    const FARPROC address = GetProcAddress(module, name);
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
  if (!ok) {
    FreeLibrary(module);
    EngineModule = nullptr;
    e = EngineExports{};
  }
  return ok;
}

void UnloadEngineModule() {
  if (EngineModule == nullptr) return;
  FreeLibrary(static_cast<HMODULE>(EngineModule));
  EngineModule = nullptr;
}
