#pragma once

// What the host, the parent's kit, larkhostctl, the stand-in engine and the tests must agree on,
// each written here once: the names on the pipe, the heartbeat, the host's own time limits, the
// main window's identity and messages, the files beside the host and the engine's exports.
// Standard library only, so that every side can include it.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace LarkProtocol {

// The parent's calls to the host.
inline constexpr char kLarkInfoMethod[] = "LarkInfo";
inline constexpr char kStartMethod[] = "Start";
inline constexpr char kOpenUrlMethod[] = "OpenUrl";
inline constexpr char kEnableControlMethod[] = "EnableControl";
inline constexpr char kEnableCefMethod[] = "EnableCef";
inline constexpr char kEndMethod[] = "End";
inline constexpr char kIsRunMethod[] = "IsRun";
inline constexpr char kReleaseMethod[] = "Release";

// The bodies of the host's answers with status 0 (Ok). A call that could not do its work still
// answers Ok, with one of the "error:" texts, so that a parent reads the status and the body.
inline constexpr char kOkAnswer[] = "ok";
inline constexpr char kInvalidPayloadAnswer[] = "error:invalid_payload";
inline constexpr char kCreateFailedAnswer[] = "error:create_failed";
inline constexpr char kLarkInfoFailedAnswer[] = "error:lark_info_failed";
inline constexpr char kDllNotLoadedAnswer[] = "error:dll_not_loaded";
inline constexpr char kPostMessageFailedAnswer[] = "error:post_message_failed";
inline constexpr char kTaskFailedAnswer[] = "error:task_failed";
inline constexpr char kStartFailedAnswer[] = "error:start_failed";
inline constexpr char kNotInitializedAnswer[] = "error:not_initialized";

// The host's calls to the parent. "GetJWT" has an empty payload and wants the token as the body
// of a status-0 answer; "CefControl" carries the engine's control text and its answer is ignored.
inline constexpr char kGetJwtMethod[] = "GetJWT";
inline constexpr char kCefControlMethod[] = "CefControl";
// A call of the host's that the parent leaves unanswered this long fails on the host's side.
inline constexpr std::chrono::seconds kReverseCallTimeout{10};

// What a host ends itself with when its shutdown has not finished 30 s after it was asked to end
// (STATUS_POSSIBLE_DEADLOCK): typically an engine call that never returned.
inline constexpr std::uint32_t kHostHungExitCode = 0xC0000194;

// Every period the host sends a notification of this type with an empty payload; engine events
// come as notifications whose type is the event number in decimal.
inline constexpr char kHeartbeatType[] = "2";
inline constexpr std::chrono::seconds kHeartbeatPeriod{3};

// The host's hidden main window, which a parent finds by class and title.
inline constexpr wchar_t kMainWindowClass[] = L"RemoteHostMainWnd";
inline constexpr wchar_t kMainWindowTitle[] = L"RemoteHost";
// Its private messages: WM_APP + 1 runs a posted task (wParam its key), WM_APP + 2 asks for the
// shutdown. Plain numbers so that no side needs <windows.h> for them.
inline constexpr unsigned kRunTaskMessage = 0x8001;
inline constexpr unsigned kShutdownMessage = 0x8002;

// The files of the host's folder. The log, flag-file and crash-dump names belong to logging/.
inline constexpr wchar_t kHostExecutableName[] = L"LarkRemoteHost.exe";
inline constexpr wchar_t kEngineLibraryName[] = L"LarkRemoteStreamer.dll";

// The engine library's exports, in the order the loader looks them up.
enum class EngineExport : std::size_t {
  Create,
  Delete,
  LarkInfo,
  Start,
  IsRun,
  Open,
  EnableControl,
  CefInput,
  Release,
  CallbackData,
  CallbackRequest,
  CallbackControlIpc,
};
inline constexpr std::size_t kEngineExportCount = 12;
inline constexpr std::array<const char*, kEngineExportCount> kEngineExportNames = {
    "LKWINSDK_WEBRTC_CREATE",
    "LKWINSDK_WEBRTC_DELETE",
    "LKWINSDK_WEBRTC_LARK_INFO",
    "LKWINSDK_WEBRTC_START",
    "LKWINSDK_WEBRTC_ISRUN",
    "LKWINSDK_WEBRTC_OPEN",
    "LKWINSDK_WEBRTC_ENABLE_CONTROL",
    "LKWINSDK_WEBRTC_CEF_INPUT",
    "LKWINSDK_WEBRTC_RELEASE",
    "LKWINSDK_WEBRTC_CALLBACK_DATA",
    "LKWINSDK_WEBRTC_CALLBACK_REQUEST",
    "LKWINSDK_WEBRTC_CALLBACK_CONTROL_IPC",
};

constexpr const char* ExportName(EngineExport which) {
  return kEngineExportNames[static_cast<std::size_t>(which)];
}

}  // namespace LarkProtocol
