#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/engine_api.h"
#include "protocol/lark_protocol.h"
#include "support/bin_directory.h"
#include "support/bounded.h"
#include "support/temp_dir.h"

namespace LarkEngine {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kWait = 30s;

using lark::test::BinDirectory;

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

EngineExports Exports(HMODULE module) {
  EngineExportAddresses addresses{};
  for (std::size_t i = 0; i < addresses.size(); ++i)
    addresses[i] =
        reinterpret_cast<void*>(GetProcAddress(module, LarkProtocol::kEngineExportNames[i]));
  return ExportsAt(addresses);
}

// What the engine's threads passed to the callbacks below. The callbacks are plain functions,
// so the current test's record is reached through a global.
struct Seen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<int, std::optional<std::u16string>>> data;
  std::vector<std::pair<int, int>> requests;  // code, capacity
  std::vector<std::optional<std::string>> controls;
  // A request callback that holds its engine thread until the test lets it go.
  bool holdRequests = false;
  bool requestEntered = false;
  bool requestLetGo = false;
  bool requestReturned = false;

  bool WaitUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kWait, done);
  }
};
std::unique_ptr<Seen> g_seen;

void OnData(int type, const char16_t* text) {
  std::lock_guard lock(g_seen->mutex);
  g_seen->data.emplace_back(type, text ? std::optional<std::u16string>(text) : std::nullopt);
  g_seen->changed.notify_all();
}

void OnRequest(int code, char* buffer, int capacity) {
  std::unique_lock lock(g_seen->mutex);
  g_seen->requests.emplace_back(code, capacity);
  if (code == 65281 && capacity >= 3) std::memcpy(buffer, "abc", 3);
  if (g_seen->holdRequests) {
    g_seen->requestEntered = true;
    g_seen->changed.notify_all();
    g_seen->changed.wait_for(lock, kWait, [] { return g_seen->requestLetGo; });
    g_seen->requestReturned = true;
  }
  g_seen->changed.notify_all();
}

void OnControl(const char* text) {
  std::lock_guard lock(g_seen->mutex);
  g_seen->controls.push_back(text ? std::optional<std::string>(text) : std::nullopt);
  g_seen->changed.notify_all();
}

std::size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// Each test loads its own copies of the engine from a fresh directory, so each gets fresh
// process-wide engine state, its own script and its own record.
class SimEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen = std::make_unique<Seen>();
    tempDir_.emplace("lark-sim-");
    dir_ = tempDir_->Path();
  }

  void TearDown() override {
    // Joins whatever a failed test left running before the code goes away.
    for (auto& [module, release] : loaded_) {
      if (release) release();
      FreeLibrary(module);
    }
    tempDir_.reset();
  }

  // Copies a built engine into the test's directory under `name` and loads it from there.
  HMODULE Load(const std::wstring& built, const std::wstring& name) {
    fs::copy_file(BinDirectory() / built, dir_ / name);
    HMODULE module = LoadLibraryW((dir_ / name).c_str());
    EXPECT_NE(module, nullptr) << "LoadLibraryW failed : " << GetLastError();
    if (module != nullptr)
      loaded_.emplace_back(module, Resolve<LkReleaseFn>(module, kReleaseExport));
    return module;
  }

  EngineExports LoadEngine() {
    HMODULE module = Load(LarkProtocol::kEngineLibraryName, LarkProtocol::kEngineLibraryName);
    return module ? Exports(module) : EngineExports{};
  }

  // Written aside and renamed over the old one, as a test changes the script of a running host.
  void WriteScript(const std::string& text, const std::wstring& stem = L"LarkRemoteStreamer") {
    const fs::path written = dir_ / (stem + L".sim.new");
    std::ofstream(written, std::ios::binary) << text;
    fs::rename(written, dir_ / (stem + L".sim"));
  }

  std::vector<std::string> Records(const std::wstring& stem = L"LarkRemoteStreamer") {
    std::ifstream in(dir_ / (stem + L".calls"), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // The engine writes its record from its own threads, so the file can only be polled.
  bool WaitForRecord(const std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Count(Records(), line) > 0) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }

  std::optional<lark::test::TempDir> tempDir_;
  fs::path dir_;
  std::vector<std::pair<HMODULE, LkReleaseFn>> loaded_;
};

// What the end-to-end suites look for: instances numbered from 1, and the stops recorded.
TEST_F(SimEngine, NumbersInstancesFromOneAndRecordsTheStops) {
  const EngineExports e = LoadEngine();
  ASSERT_NE(e.create, nullptr);
  void* const first = e.create(nullptr, 0);
  EXPECT_EQ(first, reinterpret_cast<void*>(1));
  EXPECT_EQ(e.create(nullptr, 0), reinterpret_cast<void*>(2));
  EXPECT_TRUE(e.start(first, 1));
  e.destroy(first);
  e.release();
  const std::vector<std::string> records = Records();
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(records.end() - 3, records.end()),
            (std::vector<std::string>{"START\t1\t1", "DELETE\t1", "RELEASE"}));
}

// A held or pumping call returns only once the script no longer says so; a pumping one
// dispatches what its thread is sent meanwhile.
TEST_F(SimEngine, HoldAndPumpKeepTheCallUntilTheScriptDropsThem) {
  const EngineExports e = LoadEngine();
  ASSERT_NE(e.create, nullptr);
  void* const instance = e.create(nullptr, 0);
  for (const std::string directive : {"hold", "pump"}) {
    SCOPED_TRACE(directive);
    WriteScript(directive + " ISRUN\n");
    std::atomic<DWORD> thread{0};
    std::atomic<bool> dropped{false};
    bool returnedAfterTheDrop = false;
    std::thread caller([&] {
      MSG queue;  // a thread has no queue for PostThreadMessageW until it asks for one
      PeekMessageW(&queue, nullptr, 0, 0, PM_NOREMOVE);
      thread = GetCurrentThreadId();
      e.isRun(instance);
      returnedAfterTheDrop = dropped.load();
    });
    EXPECT_TRUE(WaitForRecord("ISRUN\t1"));
    if (directive == "pump") {
      EXPECT_TRUE(PostThreadMessageW(thread.load(), WM_APP, 0, 0));
      EXPECT_TRUE(WaitForRecord("PUMPED\t" + std::to_string(WM_APP)));
    }
    dropped = true;
    WriteScript("");
    lark::test::ReturnsWithin(
        60s, [&] { caller.join(); }, "the call after its directive was dropped");
    EXPECT_TRUE(returnedAfterTheDrop);
    fs::remove(dir_ / "LarkRemoteStreamer.calls");
  }
  e.release();
}

TEST_F(SimEngine, ScriptedResultsAreReadAtEveryCall) {
  // A renamed copy reads the script named after it and ignores the default name's.
  HMODULE module = Load(LarkProtocol::kEngineLibraryName, L"Engine.dll");
  ASSERT_NE(module, nullptr);
  const EngineExports e = Exports(module);
  WriteScript("CREATE 99\nSTART 0\n");
  WriteScript(
      "# every result refused\n"
      "\n"
      "CREATE 0\n"
      "  LARK_INFO 0\n"
      "START 0\r\n"
      "ISRUN 0\nOPEN 0\nENABLE_CONTROL 0\nCEF_INPUT 0\nCALLBACK_CONTROL_IPC 0\n",
      L"Engine");

  EXPECT_EQ(e.create(nullptr, 0), nullptr);
  EXPECT_FALSE(e.larkInfo(nullptr, "", "", "", "", "", "", "", ""));
  EXPECT_FALSE(e.start(nullptr, 1));
  EXPECT_FALSE(e.isRun(nullptr));
  EXPECT_FALSE(e.open(nullptr, "u"));
  EXPECT_FALSE(e.enableControl(nullptr, true));
  EXPECT_FALSE(e.cefInput(nullptr, true));
  EXPECT_FALSE(e.callbackControlIpc(nullptr, OnControl));

  WriteScript("CREATE 42\nSTART 1 # words after the value are ignored\n", L"Engine");
  EXPECT_EQ(e.create(nullptr, 0), reinterpret_cast<void*>(42));
  EXPECT_TRUE(e.start(nullptr, 1));
  EXPECT_TRUE(e.isRun(nullptr));

  fs::remove(dir_ / "Engine.sim");
  EXPECT_EQ(e.create(nullptr, 0), reinterpret_cast<void*>(1));
  EXPECT_EQ(e.create(nullptr, 0), reinterpret_cast<void*>(2));
  EXPECT_TRUE(e.start(nullptr, 1));

  EXPECT_EQ(Records(L"Engine").size(), 14u);
  EXPECT_FALSE(fs::exists(dir_ / "LarkRemoteStreamer.calls"));
}

TEST_F(SimEngine, DataActionsCallTheRegisteredCallback) {
  const EngineExports e = LoadEngine();
  ASSERT_NE(e.create, nullptr);
  WriteScript(
      "on START data 7 hi\n"
      "on ISRUN data -3 a\\u0100 \xC3\xA9  b\n"
      "on ISRUN data 1 null\n"
      "on OPEN burst 3 5 x\n"
      "on CEF_INPUT data-sized 9 5\n");
  void* const instance = e.create(nullptr, 0);

  e.start(instance, 0);  // no callback registered yet: nothing fires
  e.callbackData(instance, OnData);
  e.start(instance, 0);
  ASSERT_TRUE(g_seen->WaitUntil([] { return g_seen->data.size() >= 1; }));
  EXPECT_EQ(g_seen->data[0], std::make_pair(7, std::optional<std::u16string>(u"hi")));

  e.isRun(instance);
  ASSERT_TRUE(g_seen->WaitUntil([] { return g_seen->data.size() >= 3; }));
  {
    std::lock_guard lock(g_seen->mutex);
    const auto& data = g_seen->data;  // two threads: either order
    EXPECT_NE(std::find(data.begin(), data.end(),
                        std::make_pair(-3, std::optional<std::u16string>(u"a\u0100 \u00e9  b"))),
              data.end());
    EXPECT_NE(
        std::find(data.begin(), data.end(), std::make_pair(1, std::optional<std::u16string>())),
        data.end());
  }

  e.open(instance, "");
  ASSERT_TRUE(g_seen->WaitUntil([] { return g_seen->data.size() >= 6; }));
  e.cefInput(instance, true);
  ASSERT_TRUE(g_seen->WaitUntil([] { return g_seen->data.size() >= 7; }));
  e.release();

  EXPECT_EQ(g_seen->data.size(), 7u);
  for (std::size_t i = 3; i < 6; ++i)
    EXPECT_EQ(g_seen->data[i], std::make_pair(5, std::optional<std::u16string>(u"x")));
  EXPECT_EQ(g_seen->data[6], std::make_pair(9, std::optional<std::u16string>(u"xxxxx")));
  const std::vector<std::string> records = Records();
  EXPECT_EQ(Count(records, "FIRED\ton START data 7 hi"), 1u);
  EXPECT_EQ(Count(records, "FIRED\ton ISRUN data -3 a\\u0100 \xC3\xA9  b"), 1u);
  EXPECT_EQ(Count(records, "FIRED\ton ISRUN data 1 null"), 1u);
  EXPECT_EQ(Count(records, "FIRED\ton OPEN burst 3 5 x"), 1u);
  const auto registered = std::find(records.begin(), records.end(), "CALLBACK_DATA\t1");
  EXPECT_EQ(std::find(records.begin(), registered, "FIRED\ton START data 7 hi"), registered);
}

TEST_F(SimEngine, RequestActionsRecordTheWholeBuffer) {
  const EngineExports e = LoadEngine();
  ASSERT_NE(e.create, nullptr);
  WriteScript("on START request 65281 8\non ISRUN request 65282 -5\n");
  void* const instance = e.create(nullptr, 0);
  e.callbackRequest(instance, OnRequest);
  e.start(instance, 0);
  e.isRun(instance);
  e.release();

  EXPECT_EQ(g_seen->requests.size(), 2u);
  EXPECT_NE(std::find(g_seen->requests.begin(), g_seen->requests.end(), std::make_pair(65281, 8)),
            g_seen->requests.end());
  const std::vector<std::string> records = Records();
  // The callback wrote three bytes; the rest, and 16 bytes past the capacity, stay 0xab.
  EXPECT_EQ(Count(records, "TOKEN_BUFFER\t8\t616263" + Repeat("ab", 8 - 3 + 16)), 1u);
  EXPECT_EQ(Count(records, "TOKEN_BUFFER\t-5\t" + Repeat("ab", 16)), 1u);
  EXPECT_EQ(Count(records, "FIRED\ton START request 65281 8"), 1u);
  EXPECT_EQ(Count(records, "FIRED\ton ISRUN request 65282 -5"), 1u);
}

TEST_F(SimEngine, ControlActionsPassTheTextAsItIs) {
  const EngineExports e = LoadEngine();
  ASSERT_NE(e.create, nullptr);
  WriteScript("on START control {\"cmd\": \"go\", \"n\": \"\xC3\xA9\"}\non ISRUN control null\n");
  void* const instance = e.create(nullptr, 0);
  EXPECT_TRUE(e.callbackControlIpc(instance, OnControl));
  e.start(instance, 0);
  ASSERT_TRUE(g_seen->WaitUntil([] { return g_seen->controls.size() >= 1; }));
  e.isRun(instance);
  ASSERT_TRUE(g_seen->WaitUntil([] { return g_seen->controls.size() >= 2; }));
  e.release();

  EXPECT_EQ(g_seen->controls[0], "{\"cmd\": \"go\", \"n\": \"\xC3\xA9\"}");
  EXPECT_EQ(g_seen->controls[1], std::nullopt);
}

TEST_F(SimEngine, DeleteAndReleaseWaitForRunningActions) {
  const EngineExports e = LoadEngine();
  ASSERT_NE(e.create, nullptr);
  WriteScript("on START request 65281 4\n");
  void* const instance = e.create(nullptr, 0);
  e.callbackRequest(instance, OnRequest);
  g_seen->holdRequests = true;

  // Starts an action that holds in the callback, then stops the engine while it holds.
  auto stopWaits = [&](const std::function<void()>& stop, const std::string& stopRecord) {
    {
      std::lock_guard lock(g_seen->mutex);
      g_seen->requestEntered = g_seen->requestLetGo = g_seen->requestReturned = false;
    }
    e.start(instance, 0);
    ASSERT_TRUE(g_seen->WaitUntil([] { return g_seen->requestEntered; }));

    std::atomic<bool> stopped{false};
    bool callbackReturnedFirst = false;
    std::thread stopper([&] {
      stop();
      stopped = true;
      std::lock_guard lock(g_seen->mutex);
      callbackReturnedFirst = g_seen->requestReturned;
    });
    EXPECT_TRUE(WaitForRecord(stopRecord));
    EXPECT_FALSE(stopped) << stopRecord << " returned while a callback ran";
    {
      std::lock_guard lock(g_seen->mutex);
      g_seen->requestLetGo = true;
      g_seen->changed.notify_all();
    }
    lark::test::ReturnsWithin(
        60s, [&] { stopper.join(); }, stopRecord.c_str());
    EXPECT_TRUE(callbackReturnedFirst) << stopRecord;
  };
  stopWaits([&] { e.destroy(instance); }, "DELETE\t1");
  stopWaits([&] { e.release(); }, "RELEASE");
}

TEST_F(SimEngine, LackingVariantLacksOpenAndCefInput) {
  HMODULE full = Load(LarkProtocol::kEngineLibraryName, LarkProtocol::kEngineLibraryName);
  HMODULE lacking = Load(L"LarkRemoteStreamer_lacking.dll", L"LarkRemoteStreamer_lacking.dll");
  ASSERT_NE(full, nullptr);
  ASSERT_NE(lacking, nullptr);
  for (const char* name : LarkProtocol::kEngineExportNames) {
    const bool lacked =
        std::strcmp(name, kOpenExport) == 0 || std::strcmp(name, kCefInputExport) == 0;
    EXPECT_NE(GetProcAddress(full, name), nullptr) << name;
    EXPECT_EQ(GetProcAddress(lacking, name) == nullptr, lacked) << name;
  }
}

}  // namespace
}  // namespace LarkEngine
