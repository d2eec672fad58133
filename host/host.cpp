#include "host/host.h"

#include <objbase.h>

#include <chrono>
#include <cstdlib>
#include <system_error>

#include "engine/engine_callbacks.h"
#include "host/crash_handler.h"
#include "host/handle_arg.h"
#include "logging/log.h"
#include "protocol/lark_protocol.h"

namespace LarkHost {

using LarkLogging::LogLine;

namespace {

// How long the teardown lets reverse calls in progress complete before it fails them.
constexpr std::chrono::milliseconds kReverseCallGrace{1000};

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

}  // namespace

Host::ComApartment::ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}

Host::ComApartment::~ComApartment() {
  if (SUCCEEDED(result_)) CoUninitialize();
}

Host::Host(HINSTANCE instance, HangWatchdogSettings hangBounds)
    : instance_(instance),
      watchdog_(new HangWatchdog(std::move(hangBounds))),
      window_([this] { TeardownEngine(); }, [this] { watchdog_->ShutdownRequested(); }) {
  engine_.SetCallMonitor(watchdog_);
}

Host::~Host() {
  LarkEngine::ConnectCallbacks(nullptr);
}

int Host::Run() {
  // Whoever started us chose the working directory, and anybody may have filled it: no library
  // loads from there. Any DLL directory takes its place in the search order; ours is searched
  // first anyway. (An empty one does the same on Windows, but not under Wine.)
  SetDllDirectoryW(ExecutableDirectory().c_str());
  // For a build without the manifest; with it the awareness is set already and this fails, unread.
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

  int exitCode = 0;
  if (!StartUp(&exitCode)) return exitCode;

  const int quitCode = window_.RunMessageLoop();

  LogLine("WinMain", "Shutting down");
  ShutDown();
  windowClass_.reset();
  com_.reset();
  guard_.Release();
  LogLine("WinMain", "Exit");
  watchdog_->ShutdownFinished();
  return quitCode;
}

// Each early return leaves what was acquired to the members' destruction.
bool Host::StartUp(int* exitCode) {
  *exitCode = 1;
  if (!guard_.Acquire()) {
    LogLine("WinMain", "Exit: duplicate instance");
    *exitCode = 0;
    return false;
  }
  InstallCrashHandler(watchdog_);
  com_.emplace();
  if (FAILED(com_->Result())) {
    LogLine("WinMain", "CoInitializeEx failed : ", static_cast<long>(com_->Result()));
    return false;
  }
  if (__argc < 7) {
    LogLine("WinMain", "No PIPE Handle included");
    *exitCode = 0;
    return false;
  }
  windowClass_.emplace(instance_);
  if (!windowClass_->Registered() || !window_.Create(instance_)) return false;

  AnonRpc::PipeHandles handles;
  if (!ParseHandles(&handles)) {
    LogLine("WinMain", "Invalid pipe handles from cmdline; aborting");
    return false;
  }
  if (!engine_.Load(ExecutableDirectory() + L"\\" + LarkProtocol::kEngineLibraryName)) {
    LogLine("WinMain", "LarkRemoteStreamer.dll load failed");
    return false;
  }
  LogLine("WinMain", "LarkRemoteStreamer.dll load success");

  endpoint_.emplace(AnonRpc::HostPipes::Adopt(handles), [this] { OnNotifyPipeBroken(); });
  activeEndpoint_.Publish(&*endpoint_);
  LarkEngine::ConnectCallbacks(&activeEndpoint_);
  methods_.emplace(engine_, window_.Handle(), [this](std::function<std::string()> task) {
    return window_.RunOnMainThread(task);
  });
  RegisterMethods(endpoint_->Server());
  heartbeat_.emplace(activeEndpoint_, [this] { window_.RequestShutdown(); });
  try {
    endpoint_->StartAll();
    LogLine("WinMain", "RPC child started");
    heartbeat_->Start();
    LogLine("WinMain", "Heartbeat started");
  } catch (const std::system_error& error) {
    // No thread could be created: leave as any other start-up failure does, without a crash.
    LogLine("WinMain", "Thread start failed : ", error.code().value());
    ShutDown();
    return false;
  }
  return true;
}

void Host::RegisterMethods(AnonRpc::RpcServer& server) {
  using Methods = LarkEngine::EngineMethods;
  const auto bind = [methods = &*methods_](std::string (Methods::*method)(const std::string&)) {
    return [methods, method](const std::string& payload) { return (methods->*method)(payload); };
  };
  server.RegisterMethod(LarkProtocol::kLarkInfoMethod, bind(&Methods::LarkInfo));
  server.RegisterMethod(LarkProtocol::kStartMethod, bind(&Methods::Start));
  server.RegisterMethod(LarkProtocol::kOpenUrlMethod, bind(&Methods::OpenUrl));
  server.RegisterMethod(LarkProtocol::kEnableControlMethod, bind(&Methods::EnableControl));
  server.RegisterMethod(LarkProtocol::kEnableCefMethod, bind(&Methods::EnableCef));
  server.RegisterMethod(LarkProtocol::kEndMethod, bind(&Methods::End));
  server.RegisterMethod(LarkProtocol::kIsRunMethod, bind(&Methods::IsRun));
  // Only asks the main thread to shut down; the answer goes out before the teardown begins.
  server.RegisterMethod(LarkProtocol::kReleaseMethod, [this](const std::string&) {
    window_.RequestShutdown();
    return std::string("ok");
  });
}

// On the notification writer's thread.
void Host::OnNotifyPipeBroken() {
  LogLine("WinMain::<lambda_2>::operator ()", "notify pipe broken, requesting shutdown");
  window_.RequestShutdown();
}

void Host::TeardownEngine() {
  // Engine threads blocked on the parent (a token it does not send, a control text it does not
  // read) would hold DELETE for a call's whole time-out. Calls in progress get a moment to
  // complete (an answer may be on its way); then no reverse call waits any more.
  if (AnonRpc::EndpointSlot::Lease endpoint = activeEndpoint_.Acquire())
    endpoint->Caller().Stop(kReverseCallGrace);
  engine_.Teardown(LockAnsweringSentMessages);
}

// However the message loop ended (the window's own shutdown, a quit message from elsewhere, a
// failing GetMessageW) or start-up gave up half way, the end is the same. Nothing may still wait
// on the main thread when the threads that might wait on it are stopped: the engine is torn
// down and the window destroyed first, which releases every queued task.
void Host::ShutDown() {
  watchdog_->ShutdownRequested();  // if nothing asked for it before: the loop ended on its own
  window_.Close();
  if (heartbeat_) heartbeat_->Stop();
  activeEndpoint_.Clear();
  if (endpoint_) endpoint_->StopAll();
  // A callback that took the endpoint just before it was cleared finishes before it is destroyed.
  activeEndpoint_.WaitForReaders();
}

}  // namespace LarkHost
