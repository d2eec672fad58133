#pragma once

// The streaming engine's exported interface: twelve C functions of LarkRemoteStreamer.dll.
// Strings are NUL-terminated 8-bit text, bool is one byte, int is 32-bit; an instance is an
// opaque pointer-sized handle, null meaning none. The data callback's text is UTF-16, spelled
// char16_t here so that the same declarations serve native builds (where wchar_t is 32-bit).

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "protocol/lark_protocol.h"

namespace LarkEngine {

extern "C" {

using EngineDataCallbackFn = void (*)(int eventType, const char16_t* text);
using EngineRequestCallbackFn = void (*)(int requestCode, char* buffer, int capacity);
using EngineControlCallbackFn = void (*)(const char* text);

using LkCreateFn = void* (*)(void* hostWindow, std::uint64_t parentWindow);
using LkDeleteFn = void (*)(void* instance);
using LkLarkInfoFn = bool (*)(void* instance, const char* appId, const char* accountId,
                              const char* did, const char* session, const char* language,
                              const char* serverId, const char* country, const char* accessToken);
using LkStartFn = bool (*)(void* instance, int value);
using LkIsRunFn = bool (*)(void* instance);
using LkOpenFn = bool (*)(void* instance, const char* url);
using LkEnableControlFn = bool (*)(void* instance, bool enable);
using LkCefInputFn = bool (*)(void* instance, bool enable);
using LkReleaseFn = void (*)();
using LkCallbackDataFn = void (*)(void* instance, EngineDataCallbackFn callback);
using LkCallbackRequestFn = void (*)(void* instance, EngineRequestCallbackFn callback);
using LkCallbackControlIpcFn = bool (*)(void* instance, EngineControlCallbackFn callback);

}  // extern "C"

// The exports' names, as hang reports name them; the loader walks LarkProtocol's table.
inline constexpr const char* kCreateExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::Create);
inline constexpr const char* kDeleteExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::Delete);
inline constexpr const char* kLarkInfoExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::LarkInfo);
inline constexpr const char* kStartExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::Start);
inline constexpr const char* kIsRunExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::IsRun);
inline constexpr const char* kOpenExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::Open);
inline constexpr const char* kEnableControlExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::EnableControl);
inline constexpr const char* kCefInputExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::CefInput);
inline constexpr const char* kReleaseExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::Release);
inline constexpr const char* kCallbackDataExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::CallbackData);
inline constexpr const char* kCallbackRequestExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::CallbackRequest);
inline constexpr const char* kCallbackControlIpcExport =
    LarkProtocol::ExportName(LarkProtocol::EngineExport::CallbackControlIpc);

// The resolved exports.
struct EngineExports {
  LkCreateFn create = nullptr;
  LkDeleteFn destroy = nullptr;
  LkLarkInfoFn larkInfo = nullptr;
  LkStartFn start = nullptr;
  LkIsRunFn isRun = nullptr;
  LkOpenFn open = nullptr;
  LkEnableControlFn enableControl = nullptr;
  LkCefInputFn cefInput = nullptr;
  LkReleaseFn release = nullptr;
  LkCallbackDataFn callbackData = nullptr;
  LkCallbackRequestFn callbackRequest = nullptr;
  LkCallbackControlIpcFn callbackControlIpc = nullptr;
};

using EngineExportAddresses = std::array<void*, LarkProtocol::kEngineExportCount>;

// The exports from their addresses, which are indexed as LarkProtocol::kEngineExportNames.
inline EngineExports ExportsAt(const EngineExportAddresses& addresses) {
  using LarkProtocol::EngineExport;
  EngineExports e;
  const auto take = [&](auto& entry, EngineExport which) {
    entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(
        addresses[static_cast<std::size_t>(which)]);
  };
  take(e.create, EngineExport::Create);
  take(e.destroy, EngineExport::Delete);
  take(e.larkInfo, EngineExport::LarkInfo);
  take(e.start, EngineExport::Start);
  take(e.isRun, EngineExport::IsRun);
  take(e.open, EngineExport::Open);
  take(e.enableControl, EngineExport::EnableControl);
  take(e.cefInput, EngineExport::CefInput);
  take(e.release, EngineExport::Release);
  take(e.callbackData, EngineExport::CallbackData);
  take(e.callbackRequest, EngineExport::CallbackRequest);
  take(e.callbackControlIpc, EngineExport::CallbackControlIpc);
  return e;
}

}  // namespace LarkEngine
