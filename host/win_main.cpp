// LarkRemoteHost: start-up, the message loop and the orderly shutdown.

#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include "engine/engine.h"
#include "engine/engine_host.h"
#include "engine/engine_methods.h"
#include "host/active_endpoint.h"
#include "host/crash_handler.h"
#include "host/heartbeat.h"
#include "host/main_window.h"
#include "host/startup.h"
#include "logging/log.h"
#include "rpc/rpc_endpoint.h"

namespace {

// This executable's directory, without a trailing backslash.
std::wstring ExecutableDirectory() {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  if (wchar_t* slash = wcsrchr(module, L'\\')) *slash = L'\0';
  return module;
}

bool ParseHandles(AnonRpc::PipeHandles* handles) {
  // All six are parsed before any is tested, so every bad argument is reported.
  handles->fwdReqRead = ParseHandleArg(__argv[1], "fwdReqRead");
  handles->fwdReqWrite = ParseHandleArg(__argv[2], "fwdReqWrite");
  handles->fwdResWrite = ParseHandleArg(__argv[3], "fwdResWrite");
  handles->revReqWrite = ParseHandleArg(__argv[4], "revReqWrite");
  handles->revResRead = ParseHandleArg(__argv[5], "revResRead");
  handles->ntyWrite = ParseHandleArg(__argv[6], "ntyWrite");
  const AnonRpc::PipeHandle all[] = {handles->fwdReqRead,  handles->fwdReqWrite,
                                     handles->fwdResWrite, handles->revReqWrite,
                                     handles->revResRead,  handles->ntyWrite};
  for (AnonRpc::PipeHandle handle : all)
    if (handle == AnonRpc::kInvalidPipe) return false;
  // Inherited, they are inheritable still: a process the engine starts with inheritance (a
  // browser, its helpers) would keep the parent's pipes open after this host has gone.
  for (AnonRpc::PipeHandle handle : all)
    SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
  return true;
}

void RegisterMethods(AnonRpc::RpcServer& server) {
  server.RegisterMethod("LarkInfo", HandleRemoteInfo);
  server.RegisterMethod("Start", HandleRemoteStart);
  server.RegisterMethod("OpenUrl", HandleRemoteOpenUrl);
  server.RegisterMethod("EnableControl", HandleRemoteEnableControl);
  server.RegisterMethod("EnableCef", HandleCefEnableControl);
  server.RegisterMethod("End", HandleRemoteEnd);
  server.RegisterMethod("IsRun", HandleRemoteIsRun);
  // Only asks the main thread to shut down; the answer goes out before the teardown begins.
  server.RegisterMethod("Release", [](const std::string&) {
    PostMessageW(MainWindow, WM_APP_SHUTDOWN, 0, 0);
    return std::string("ok");
  });
}

// However the message loop ended (the window's own shutdown, a quit message from elsewhere, a
// failing GetMessageW) or start-up gave up half way, the end is the same. Nothing may still wait
// on the main thread when the threads that might wait on it are stopped: the engine is torn
// down and the window destroyed first, which releases every queued task.
void ShutDown(AnonRpc::RpcEndpoint& endpoint) {
  CloseMainWindow(MainWindow);
  StopHeartbeat();
  ActiveEndpoint.Clear();
  endpoint.StopAll();
  // A callback that took the endpoint just before it was cleared finishes before it is destroyed.
  ActiveEndpoint.WaitForReaders();
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Whoever started us chose the working directory, and anybody may have filled it: no library
  // loads from there. Any DLL directory takes its place in the search order; ours is searched
  // first anyway. (An empty one does the same on Windows, but not under Wine.)
  SetDllDirectoryW(ExecutableDirectory().c_str());
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

  if (!AcquireSingleInstanceMutex()) {
    LogLine("WinMain", "Exit: duplicate instance");
    return 0;
  }
  InstallCrashHandler();
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(com)) {
    LogLine("WinMain", "CoInitializeEx failed : ", static_cast<long>(com));
    return 1;
  }
  if (__argc < 7) {
    LogLine("WinMain", "No PIPE Handle included");
    CoUninitialize();
    return 0;
  }
  if (!RegisterMainWindowClass(instance)) {
    CoUninitialize();
    return 1;
  }
  MainWindow = CreateMainWindow(instance);
  if (MainWindow == nullptr) {
    CoUninitialize();
    return 1;
  }

  AnonRpc::PipeHandles handles;
  if (!ParseHandles(&handles)) {
    LogLine("WinMain", "Invalid pipe handles from cmdline; aborting");
    DestroyWindow(MainWindow);
    CoUninitialize();
    CloseSingleInstanceMutex();
    return 1;
  }

  LarkEngine::Engine engine;
  engine.Load(ExecutableDirectory() + L"\\LarkRemoteStreamer.dll");
  if (!engine.Loaded()) {
    LogLine("WinMain", "LarkRemoteStreamer.dll load failed");
    DestroyWindow(MainWindow);
    CoUninitialize();
    return 1;
  }
  LogLine("WinMain", "LarkRemoteStreamer.dll load success");

  AnonRpc::RpcEndpoint endpoint(AnonRpc::HostPipes::Adopt(handles), OnNotifyPipeBroken);
  ActiveEndpoint.Publish(&endpoint);
  ConnectEngineHost({MainWindow, RunOnMainThread, &ActiveEndpoint, &engine});
  RegisterMethods(endpoint.Server());
  try {
    endpoint.StartAll();
    LogLine("WinMain", "RPC child started");
    StartHeartbeat();
    LogLine("WinMain", "Heartbeat started");
  } catch (const std::system_error& error) {
    // No thread could be created: leave as any other start-up failure does, without a crash.
    LogLine("WinMain", "Thread start failed : ", error.code().value());
    ShutDown(endpoint);
    CoUninitialize();
    return 1;
  }

  MSG message{};
  BOOL got;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  LogLine("WinMain", "Shutting down");
  ShutDown(endpoint);
  UnregisterClassW(kMainWindowClass, instance);
  CoUninitialize();
  CloseSingleInstanceMutex();
  LogLine("WinMain", "Exit");
  // After a failing GetMessageW the message holds nothing of ours.
  return got == 0 ? static_cast<int>(static_cast<UINT>(message.wParam)) : 0;
}
