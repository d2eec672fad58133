#pragma once

// The streaming engine's exported interface: twelve C functions of LarkRemoteStreamer.dll.
// Strings are NUL-terminated 8-bit text, bool is one byte, int is 32-bit; an instance is an
// opaque pointer-sized handle, null meaning none. The data callback's text is UTF-16, spelled
// char16_t here so that the same declarations serve native builds (where wchar_t is 32-bit).

#include <cstdint>

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

// The exports' names, as the loader resolves them and hang reports name them.
inline constexpr char kCreateExport[] = "LKWINSDK_WEBRTC_CREATE";
inline constexpr char kDeleteExport[] = "LKWINSDK_WEBRTC_DELETE";
inline constexpr char kLarkInfoExport[] = "LKWINSDK_WEBRTC_LARK_INFO";
inline constexpr char kStartExport[] = "LKWINSDK_WEBRTC_START";
inline constexpr char kIsRunExport[] = "LKWINSDK_WEBRTC_ISRUN";
inline constexpr char kOpenExport[] = "LKWINSDK_WEBRTC_OPEN";
inline constexpr char kEnableControlExport[] = "LKWINSDK_WEBRTC_ENABLE_CONTROL";
inline constexpr char kCefInputExport[] = "LKWINSDK_WEBRTC_CEF_INPUT";
inline constexpr char kReleaseExport[] = "LKWINSDK_WEBRTC_RELEASE";
inline constexpr char kCallbackDataExport[] = "LKWINSDK_WEBRTC_CALLBACK_DATA";
inline constexpr char kCallbackRequestExport[] = "LKWINSDK_WEBRTC_CALLBACK_REQUEST";
inline constexpr char kCallbackControlIpcExport[] = "LKWINSDK_WEBRTC_CALLBACK_CONTROL_IPC";

// The resolved exports, in the order they are looked up.
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

}  // namespace LarkEngine
