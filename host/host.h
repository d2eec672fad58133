#pragma once

// The host process from start-up to exit, as WinMain runs it: the single-instance guard, the
// crash handler, the COM apartment, the window class and the hidden window, the engine, the RPC
// endpoint and the heartbeat, started in that order; then the message loop; then the orderly
// shutdown. Everything it acquires is a member, released by destruction, so each start-up
// failure leaves exactly what it acquired. Main thread.

#include <windows.h>

#include <optional>
#include <string>

#include "engine/engine.h"
#include "engine/engine_methods.h"
#include "host/hang_watchdog.h"
#include "host/heartbeat.h"
#include "host/main_window.h"
#include "host/single_instance_guard.h"
#include "rpc/endpoint_slot.h"
#include "rpc/rpc_endpoint.h"

namespace LarkHost {

class Host {
 public:
  explicit Host(HINSTANCE instance, HangWatchdogSettings hangBounds = {});
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Start-up, the message loop and the shutdown; returns the process exit code. Once.
  int Run();

 private:
  // The thread's apartment, from a successful CoInitializeEx to the matching CoUninitialize.
  class ComApartment {
   public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT Result() const { return result_; }

   private:
    HRESULT result_;
  };

  bool StartUp(int* exitCode);
  void RegisterMethods(AnonRpc::RpcServer& server);
  void OnNotifyPipeBroken();
  void TeardownEngine();
  void ShutDown();

  const HINSTANCE instance_;
  // Never deleted: the crash handler's thread consults it until the process ends.
  HangWatchdog* const watchdog_;
  SingleInstanceGuard guard_;
  std::optional<ComApartment> com_;
  std::optional<MainWindowClass> windowClass_;
  MainWindow window_;
  LarkEngine::Engine engine_;
  AnonRpc::EndpointSlot activeEndpoint_;  // where the heartbeat and the engine's callbacks find it
  std::optional<LarkEngine::EngineMethods> methods_;  // outlives the endpoint's server
  std::optional<AnonRpc::RpcEndpoint> endpoint_;
  std::optional<Heartbeat> heartbeat_;
};

}  // namespace LarkHost
