// A stand-in for the streaming engine LarkRemoteStreamer.dll, for end-to-end tests and the demo:
// the twelve exports of engine/engine_api.h, with results and callback activity scripted by a
// text file and every call written to a record. It streams nothing and never stands in for a
// real engine. Built with LARK_SIM_LACKING_OPEN_AND_CEF_INPUT it lacks those two exports.
//
// Built with LARK_SIM_WITH_DEPENDENCY it imports lark_sim_dependency.dll, which must load from
// beside it.
//
// Its two files sit beside the DLL and are named after its own file name without ".dll" (<stem>),
// so a renamed copy keeps its own: <stem>.sim, the script, re-read at every export call, and
// <stem>.calls, the record of every call and action. The script language and
// the record's lines are documented in one place, docs/stand-in-engine.md; a change to either
// changes that page too.
//
// Threads: callbacks are kept per process, the last registered of each kind. DELETE and RELEASE
// join every action thread still running before they return, as a real engine stops its
// threads, so no callback runs once the host may unload the library.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/engine_api.h"
#include "sync/mutex.h"
#include "win/unique_handle.h"

using namespace LarkEngine;

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

struct Script {
  std::optional<std::uintptr_t> create;
  std::map<std::string, bool, std::less<>> results;
  std::vector<std::pair<std::string, std::string>> actions;  // call, directive line
  std::vector<std::pair<std::string, std::string>> inside;   // call, directive line
  std::vector<std::string> holds;
  std::vector<std::string> pumps;
  std::map<std::string, DWORD, std::less<>> blocks;  // call, milliseconds (INFINITE: for ever)

  bool Holds(std::string_view call) const {
    return std::find(holds.begin(), holds.end(), call) != holds.end();
  }
  bool Pumps(std::string_view call) const {
    return std::find(pumps.begin(), pumps.end(), call) != pumps.end();
  }

  bool Result(std::string_view call) const {
    const auto found = results.find(call);
    return found == results.end() || found->second;
  }
};

struct Callbacks {
  EngineDataCallbackFn data = nullptr;
  EngineRequestCallbackFn request = nullptr;
  EngineControlCallbackFn control = nullptr;
};

struct ActionThread {
  std::thread thread;
  std::atomic<bool> finished{false};
};

// What the stand-in keeps between calls, shared by its exports and the threads they start.
struct StandIn {
  std::filesystem::path scriptPath;
  std::filesystem::path recordPath;

  LarkSync::Mutex recordLock;  // guards the record file: lines never mix

  LarkSync::Mutex lock;
  std::uintptr_t nextInstance LARK_GUARDED_BY(lock) = 1;
  HWND hostWindow LARK_GUARDED_BY(lock) = nullptr;
  Callbacks callbacks LARK_GUARDED_BY(lock);
  // A list: a running thread holds on to its node.
  std::list<ActionThread> threads LARK_GUARDED_BY(lock);
};

std::filesystem::path ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path.data(),
                                            static_cast<DWORD>(path.size()));
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

// Never destroyed: at process exit the loader runs a DLL's static destructors after it has
// killed the threads, and destroying a joinable std::thread would abort the process.
StandIn& TheStandIn() {
  static StandIn* const engine = [] {
    auto* created = new StandIn;
    const std::filesystem::path module = ModulePath();
    const std::wstring stem = module.stem().wstring();
    created->scriptPath = module.parent_path() / (stem + L".sim");
    created->recordPath = module.parent_path() / (stem + L".calls");
    return created;
  }();
  return *engine;
}

std::string Field(const std::string& text) {
  return text;
}
std::string Field(const char* text) {
  return text ? text : "(null)";
}
std::string Field(const void* handle) {
  return std::to_string(reinterpret_cast<std::uintptr_t>(handle));
}
std::string Field(bool value) {
  return value ? "1" : "0";
}
std::string Field(int value) {
  return std::to_string(value);
}
std::string Field(std::uint64_t value) {
  return std::to_string(value);
}

template <typename... Args>
void Record(std::string_view name, const Args&... args) {
  std::string line(name);
  ((line += '\t', line += Field(args)), ...);
  line += '\n';
  StandIn& engine = TheStandIn();
  LarkSync::MutexLock lock(engine.recordLock);
  std::ofstream out(engine.recordPath, std::ios::binary | std::ios::app);
  out << line << std::flush;
}

Script ReadScript() {
  Script script;
  std::ifstream in(TheStandIn().scriptPath, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.erase(0, line.find_first_not_of(" \t"));
    std::istringstream fields(line);
    std::string word;
    if (!(fields >> word) || word[0] == '#') continue;
    if (word == "on" || word == "inside") {
      if (std::string call; fields >> call)
        (word == "on" ? script.actions : script.inside).emplace_back(std::move(call), line);
    } else if (word == "hold" || word == "pump") {
      if (std::string call; fields >> call)
        (word == "hold" ? script.holds : script.pumps).push_back(std::move(call));
    } else if (word == "block") {
      if (std::string call; fields >> call) {
        DWORD ms = INFINITE;
        if (DWORD value; fields >> value) ms = value;
        script.blocks[call] = ms;
      }
    } else if (word == "CREATE") {
      if (std::uint64_t value; fields >> value) script.create = value;
    } else if (int value; fields >> value) {
      script.results[word] = value != 0;
    }
  }
  return script;
}

std::optional<std::string> RestOfLine(std::istream& fields) {
  std::string rest;
  std::getline(fields, rest);
  rest.erase(0, rest.find_first_not_of(" \t"));
  if (rest == "null") return std::nullopt;
  return rest;
}

void AppendUtf8(std::string_view utf8, std::u16string& out) {
  if (utf8.empty()) return;
  const int size = static_cast<int>(utf8.size());
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), static_cast<int>(wide.size()));
  for (wchar_t unit : wide) out += static_cast<char16_t>(unit);
}

std::u16string ToUtf16(std::string_view text) {
  std::u16string out;
  std::size_t plain = 0;  // start of the text not yet converted
  for (std::size_t i = 0; i + 6 <= text.size(); ++i) {
    std::uint16_t unit = 0;
    const char* digits = text.data() + i + 2;
    if (text.compare(i, 2, "\\u") != 0 ||
        std::from_chars(digits, digits + 4, unit, 16).ptr != digits + 4)
      continue;
    AppendUtf8(text.substr(plain, i - plain), out);
    out += static_cast<char16_t>(unit);
    plain = i + 6;
    i += 5;
  }
  AppendUtf8(text.substr(plain), out);
  return out;
}

std::string Hex(const std::vector<char>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    hex += kDigits[value >> 4];
    hex += kDigits[value & 15];
  }
  return hex;
}

// A process that inherits whatever this one lets it inherit and lives `seconds`.
void Spawn(int seconds) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(system) + L"\\rundll32.exe\" \"" +
                             ModulePath().wstring() + L"\",SimLinger " + std::to_wstring(seconds);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &info))
    return;
  const LarkWin::UniqueHandle process(info.hProcess);
  const LarkWin::UniqueHandle thread(info.hThread);
  Record("SPAWNED", static_cast<std::uint64_t>(info.dwProcessId));
}

void RecordCrash() {
  Record("CRASH", static_cast<std::uint64_t>(GetCurrentThreadId()));
}

[[noreturn]] void AccessViolation(int delayMs) {
  Sleep(static_cast<DWORD>(std::max(delayMs, 0)));
  RecordCrash();
  // Read through a volatile, so the compiler can neither see the null nor turn the write into a
  // trap instruction of its own.
  static int* volatile nowhere = nullptr;
  *nowhere = 1;
  std::abort();  // not reached
}

// Callbacks the engine calls through a C interface may not throw.
extern "C" void SimCallback(void (*body)()) noexcept {
  body();
}

[[noreturn]] void ThrowThroughCallback() {
  RecordCrash();
  SimCallback([] { throw std::runtime_error("thrown through a callback"); });
  std::abort();  // not reached
}

// The body of one action for the callbacks registered now; empty when the line does not parse
// or its callback is not registered.
std::function<void()> MakeAction(const std::string& line, const Callbacks& callbacks) {
  std::istringstream fields(line);
  std::string on, call, kind;
  fields >> on >> call >> kind;
  if (kind == "data" || kind == "burst") {
    int count = 1, type = 0;
    if ((kind == "burst" && !(fields >> count)) || !(fields >> type) || !callbacks.data) return {};
    const std::optional<std::string> text = RestOfLine(fields);
    return [data = callbacks.data, count, type,
            utf16 = text ? std::optional(ToUtf16(*text)) : std::nullopt] {
      for (int i = 0; i < count; ++i) data(type, utf16 ? utf16->c_str() : nullptr);
    };
  }
  if (kind == "data-sized") {
    int type = 0;
    std::size_t bytes = 0;
    if (!(fields >> type >> bytes) || !callbacks.data) return {};
    return [data = callbacks.data, type, text = std::u16string(bytes, u'x')] {
      data(type, text.c_str());
    };
  }
  if (kind == "request") {
    int code = 0, capacity = 0;
    if (!(fields >> code >> capacity) || !callbacks.request) return {};
    return [request = callbacks.request, code, capacity] {
      std::vector<char> buffer(static_cast<std::size_t>(std::max(capacity, 0)) + 16, '\xAB');
      request(code, buffer.data(), capacity);
      Record("TOKEN_BUFFER", capacity, Hex(buffer));
    };
  }
  if (kind == "requests") {
    int count = 0, code = 0, capacity = 0;
    if (!(fields >> count >> code >> capacity) || !callbacks.request) return {};
    return [request = callbacks.request, count, code, capacity] {
      std::vector<char> buffer(static_cast<std::size_t>(std::max(capacity, 0)) + 16, '\xAB');
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < count; ++i) request(code, buffer.data(), capacity);
      const auto elapsed = std::chrono::steady_clock::now() - start;
      Record("REQUESTS", count,
             static_cast<std::uint64_t>(
                 std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
    };
  }
  if (kind == "control" && callbacks.control) {
    return [control = callbacks.control, text = RestOfLine(fields)] {
      control(text ? text->c_str() : nullptr);
    };
  }
  if (kind == "controls") {
    int count = 0;
    std::size_t bytes = 0;
    if (!(fields >> count >> bytes) || !callbacks.control) return {};
    return [control = callbacks.control, count, text = std::string(bytes, 'x')] {
      for (int i = 0; i < count; ++i) control(text.c_str());
    };
  }
  if (kind == "spawn") {
    int seconds = 0;
    if (!(fields >> seconds)) return {};
    return [seconds] { Spawn(seconds); };
  }
  if (kind == "crash-access") return [] { AccessViolation(0); };
  if (kind == "crash-after") {
    int delayMs = 0;
    if (!(fields >> delayMs)) return {};
    return [delayMs] { AccessViolation(delayMs); };
  }
  if (kind == "throw-through-callback") return [] { ThrowThroughCallback(); };
  return {};
}

void Fire(const Script& script, std::string_view call) {
  StandIn& engine = TheStandIn();
  LarkSync::MutexLock lock(engine.lock);
  engine.threads.remove_if([](ActionThread& action) {
    if (!action.finished) return false;
    action.thread.join();
    return true;
  });
  for (const auto& [trigger, line] : script.actions) {
    if (trigger != call) continue;
    std::function<void()> body = MakeAction(line, engine.callbacks);
    if (!body) continue;
    ActionThread& action = engine.threads.emplace_back();
    action.thread = std::thread([&action, fired = line, body = std::move(body)] {
      body();
      Record("FIRED", fired);
      action.finished = true;
    });
  }
}

void JoinActions() {
  StandIn& engine = TheStandIn();
  std::list<ActionThread> running;
  {
    LarkSync::MutexLock lock(engine.lock);
    running.splice(running.end(), engine.threads);
  }
  for (auto it = running.begin(); it != running.end();) {
    const auto next = std::next(it);
    if (it->thread.get_id() == std::this_thread::get_id()) {
      // Called from a callback: that thread is joined by a later DELETE or RELEASE.
      LarkSync::MutexLock lock(engine.lock);
      engine.threads.splice(engine.threads.end(), running, it);
    } else {
      it->thread.join();
    }
    it = next;
  }
}

void HoldWhileScripted(std::string_view call) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadScript().Holds(call) && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  HWND window = nullptr;
  {
    StandIn& engine = TheStandIn();
    LarkSync::MutexLock lock(engine.lock);
    window = engine.hostWindow;
  }
  if (window != nullptr) SendMessageW(window, WM_NULL, 0, 0);
}

void PumpWhileScripted(std::string_view call) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (ReadScript().Pumps(call) && std::chrono::steady_clock::now() < limit) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      Record("PUMPED", static_cast<int>(message.message));
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));  // the quit belongs to the host's loop
        return;
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

// The actions scripted to run inside the call, on its thread.
void RunInside(const Script& script, std::string_view call) {
  Callbacks callbacks;
  {
    StandIn& engine = TheStandIn();
    LarkSync::MutexLock lock(engine.lock);
    callbacks = engine.callbacks;
  }
  for (const auto& [trigger, line] : script.inside) {
    if (trigger != call) continue;
    if (std::function<void()> body = MakeAction(line, callbacks)) {
      body();
      Record("FIRED", line);
    }
  }
}

// Reads the script, records the call, fires its actions, runs those scripted inside it, and
// holds or pumps if scripted; the script gives the result.
template <typename... Args>
Script Called(std::string_view name, const Args&... args) {
  Script script = ReadScript();
  Record(name, args...);
  Fire(script, name);
  RunInside(script, name);
  if (const auto block = script.blocks.find(name); block != script.blocks.end()) {
    Record("BLOCKED", static_cast<std::uint64_t>(GetCurrentThreadId()));
    Sleep(block->second);
  }
  if (script.Holds(name)) HoldWhileScripted(name);
  if (script.Pumps(name)) PumpWhileScripted(name);
  return script;
}

template <typename Callback>
void Register(Callback Callbacks::*slot, Callback callback) {
  StandIn& engine = TheStandIn();
  LarkSync::MutexLock lock(engine.lock);
  engine.callbacks.*slot = callback;
}

}  // namespace

#define SIM_EXPORT extern "C" __declspec(dllexport)

// The body of a spawned process, run by rundll32: lingers for the seconds its command line gives.
SIM_EXPORT void CALLBACK SimLinger(HWND, HINSTANCE, LPSTR commandLine, int) {
  Sleep(static_cast<DWORD>(std::strtoul(commandLine, nullptr, 10)) * 1000);
}

#ifdef LARK_SIM_WITH_DEPENDENCY
extern "C" __declspec(dllimport) int LarkSimDependency();
#endif

SIM_EXPORT void* LKWINSDK_WEBRTC_CREATE(void* hostWindow, std::uint64_t parentWindow) {
#ifdef LARK_SIM_WITH_DEPENDENCY
  LarkSimDependency();
#endif
  const Script script = Called("CREATE", hostWindow, parentWindow);
  StandIn& engine = TheStandIn();
  LarkSync::MutexLock lock(engine.lock);
  engine.hostWindow = static_cast<HWND>(hostWindow);
  if (script.create) return reinterpret_cast<void*>(*script.create);
  return reinterpret_cast<void*>(engine.nextInstance++);
}

SIM_EXPORT void LKWINSDK_WEBRTC_DELETE(void* instance) {
  Called("DELETE", instance);
  JoinActions();
}

SIM_EXPORT bool LKWINSDK_WEBRTC_LARK_INFO(void* instance, const char* appId, const char* accountId,
                                          const char* did, const char* session,
                                          const char* language, const char* serverId,
                                          const char* country, const char* accessToken) {
  return Called("LARK_INFO", instance, appId, accountId, did, session, language, serverId, country,
                accessToken)
      .Result("LARK_INFO");
}

SIM_EXPORT bool LKWINSDK_WEBRTC_START(void* instance, int value) {
  return Called("START", instance, value).Result("START");
}

SIM_EXPORT bool LKWINSDK_WEBRTC_ISRUN(void* instance) {
  return Called("ISRUN", instance).Result("ISRUN");
}

#ifndef LARK_SIM_LACKING_OPEN_AND_CEF_INPUT
SIM_EXPORT bool LKWINSDK_WEBRTC_OPEN(void* instance, const char* url) {
  return Called("OPEN", instance, url).Result("OPEN");
}
#endif

SIM_EXPORT bool LKWINSDK_WEBRTC_ENABLE_CONTROL(void* instance, bool enable) {
  return Called("ENABLE_CONTROL", instance, enable).Result("ENABLE_CONTROL");
}

#ifndef LARK_SIM_LACKING_OPEN_AND_CEF_INPUT
SIM_EXPORT bool LKWINSDK_WEBRTC_CEF_INPUT(void* instance, bool enable) {
  return Called("CEF_INPUT", instance, enable).Result("CEF_INPUT");
}
#endif

SIM_EXPORT void LKWINSDK_WEBRTC_RELEASE() {
  Called("RELEASE");
  JoinActions();
}

SIM_EXPORT void LKWINSDK_WEBRTC_CALLBACK_DATA(void* instance, EngineDataCallbackFn callback) {
  Register(&Callbacks::data, callback);
  Called("CALLBACK_DATA", instance);
}

SIM_EXPORT void LKWINSDK_WEBRTC_CALLBACK_REQUEST(void* instance, EngineRequestCallbackFn callback) {
  Register(&Callbacks::request, callback);
  Called("CALLBACK_REQUEST", instance);
}

SIM_EXPORT bool LKWINSDK_WEBRTC_CALLBACK_CONTROL_IPC(void* instance,
                                                     EngineControlCallbackFn callback) {
  Register(&Callbacks::control, callback);
  return Called("CALLBACK_CONTROL_IPC", instance).Result("CALLBACK_CONTROL_IPC");
}

// The exports must keep the host's view of their signatures.
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_CREATE), LkCreateFn>);
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_DELETE), LkDeleteFn>);
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_LARK_INFO), LkLarkInfoFn>);
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_START), LkStartFn>);
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_ISRUN), LkIsRunFn>);
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_ENABLE_CONTROL), LkEnableControlFn>);
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_RELEASE), LkReleaseFn>);
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_CALLBACK_DATA), LkCallbackDataFn>);
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_CALLBACK_REQUEST), LkCallbackRequestFn>);
static_assert(
    std::is_same_v<decltype(&LKWINSDK_WEBRTC_CALLBACK_CONTROL_IPC), LkCallbackControlIpcFn>);
#ifndef LARK_SIM_LACKING_OPEN_AND_CEF_INPUT
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_OPEN), LkOpenFn>);
static_assert(std::is_same_v<decltype(&LKWINSDK_WEBRTC_CEF_INPUT), LkCefInputFn>);
#endif
