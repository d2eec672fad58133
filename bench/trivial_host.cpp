// The baseline for the host benchmark: a trivial hidden-window program on the same six pipes
// that does the start-up work any host must (DPI awareness, a named mutex, a COM apartment, the
// engine library beside it loaded) and answers with raw frames in the same pattern as the host,
// and no more. "IsRun" answers
// "true"; "Burst" N writes N notifications (type "7", payload "x") as header, type, payload and
// a flush; "Release" answers "ok" and ends the program.

#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "protocol/lark_protocol.h"
#include "rpc/wire.h"
#include "win/unique_handle.h"

namespace AnonRpc {
namespace {

PipeHandle Arg(int index) {
  return index < __argc ? static_cast<PipeHandle>(std::strtoull(__argv[index], nullptr, 10)) : 0;
}

void WriteOnce(PipeHandle handle, const void* data, std::size_t length) {
  std::uint32_t written = 0;
  PipeWrite(handle, data, static_cast<std::uint32_t>(length), &written);
}

void Serve(HWND window, PipeHandle requests, PipeHandle responses, PipeHandle notifications) {
  const NotifyHeaderBytes header = EncodeHeader(NotifyHeader{kNotifyMagic, 1, 1});
  while (std::optional<Request> request = ReadRequest(requests)) {
    if (request->method == "Burst") {
      const int count = std::atoi(request->payload.c_str());
      for (int i = 0; i < count; ++i) {
        WriteOnce(notifications, header.data(), header.size());
        WriteOnce(notifications, "7", 1);
        WriteOnce(notifications, "x", 1);
        PipeFlush(notifications);
      }
    }
    const bool release = request->method == LarkProtocol::kReleaseMethod;
    WriteResponse(responses, request->id, RpcStatus::Ok, release ? "ok" : "true");
    if (release) break;
  }
  PostMessageW(window, WM_CLOSE, 0, 0);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int Run(HINSTANCE instance) {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  const LarkWin::UniqueHandle mutex(
      CreateMutexW(nullptr, FALSE, L"Local\\TrivialHost_SingleInstance"));
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  wchar_t engine[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, engine, MAX_PATH);
  if (wchar_t* slash = wcsrchr(engine, L'\\')) slash[1] = L'\0';
  LarkWin::UniqueModule library(
      LoadLibraryW((std::wstring(engine) + LarkProtocol::kEngineLibraryName).c_str()));

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = L"TrivialHostWnd";
  RegisterClassExW(&windowClass);
  HWND window =
      CreateWindowExW(0, L"TrivialHostWnd", L"TrivialHost", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                      CW_USEDEFAULT, 1920, 1080, nullptr, nullptr, instance, nullptr);
  ShowWindow(window, SW_HIDE);
  std::thread server(Serve, window, Arg(1), Arg(3), Arg(6));
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  server.join();
  library.Reset();
  CoUninitialize();
  return 0;
}

}  // namespace
}  // namespace AnonRpc

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  return AnonRpc::Run(instance);
}
