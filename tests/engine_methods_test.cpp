#include "engine/engine_methods.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>

#include "engine/engine.h"
#include "support/captured_log.h"
#include "support/fake_engine.h"

namespace LarkEngine {
namespace {

using lark::test::CapturedLog;
using lark::test::FakeEngine;
using Lines = std::vector<std::string>;

constexpr char kStep[] = "[HandleRemoteInfo::<lambda_1>::operator ()] ";

std::string RunInPlace(std::function<std::string()> task) {
  return task();
}

// The engine behind a fake, the main thread behind a runner that runs the task in place.
struct EngineMethods : ::testing::Test {
  ~EngineMethods() override { FakeEngine::Reset(); }
  CapturedLog log;
  LarkEngine::EngineMethods methods{*FakeEngine::Install(), reinterpret_cast<void*>(0x42),
                                    RunInPlace};
};

TEST_F(EngineMethods, LarkInfoCreatesPassesTheSessionAndRegistersCallbacksInOrder) {
  const std::string payload = R"({"hWnd":"1234","appID":"a"})";
  EXPECT_EQ(methods.LarkInfo(payload), "ok");
  EXPECT_EQ(FakeEngine::Calls(),
            (Lines{"CREATE 66 1234", "LARK_INFO 4096 [a|||||||]", "CALLBACK_REQUEST 4096",
                   "CALLBACK_DATA 4096", "CALLBACK_CONTROL_IPC 4096"}));
  EXPECT_EQ(FakeEngine::Installed()->InstanceForTest(), reinterpret_cast<void*>(0x1000));
  EXPECT_EQ(
      log.Messages(),
      (Lines{"[HandleRemoteInfo] HandleRemoteInfo : " + payload,
             std::string(kStep) + "REMOTE_CREATE on main thread",
             std::string(kStep) + "REMOTE_CREATE success",
             std::string(kStep) + "REMOTE_LARK_INFO result : 1",
             std::string(kStep) + "[ctl-ipc] 0) REMOTE_CALLBACK_CONTROL_IPC register result=1"}));
}

TEST_F(EngineMethods, LarkInfoPassesAllEightStringsAndMasksTheTokenInTheLogOnly) {
  const std::string payload =
      R"({"accessToken" : "s3cr3t", "hWnd":"42abc","appID":"app","accountId":"acc","did":"d",)"
      R"("session":"s","language":"en","serverId":"srv","country":"cc","extra":[1,2]})";
  EXPECT_EQ(methods.LarkInfo(payload), "ok");
  EXPECT_EQ(FakeEngine::Calls()[0], "CREATE 66 42");
  EXPECT_EQ(FakeEngine::Calls()[1], "LARK_INFO 4096 [app|acc|d|s|en|srv|cc|s3cr3t]");
  const std::string logged = log.Messages().at(0);
  EXPECT_EQ(logged.find("s3cr3t"), std::string::npos) << logged;
  EXPECT_EQ(logged, "[HandleRemoteInfo] HandleRemoteInfo : " +
                        std::string(R"({"accessToken" : "***", "hWnd":"42abc",)") +
                        payload.substr(payload.find(R"("appID")")));
}

TEST_F(EngineMethods, LarkInfoRefusesPayloadsWithoutAUsableWindowHandle) {
  struct Case {
    const char* payload;
    bool parseErrorLine;
  };
  for (const Case& c :
       {Case{"{", true}, Case{"[]", false}, Case{R"({"hWnd":1234})", false},
        Case{R"({"hWnd":""})", false}, Case{R"({"hWnd":"abc"})", false},
        Case{R"({"hWnd":"99999999999999999999"})", false}, Case{R"({"hWnd":"1","n":1e400})", false},
        Case{"\"text\"", false}, Case{R"({"hWnd":"1"} trailing)", true}}) {
    SCOPED_TRACE(c.payload);
    const std::size_t before = log.Messages().size();
    EXPECT_EQ(methods.LarkInfo(c.payload), "error:invalid_payload");
    const Lines lines = log.Messages();
    const bool parseError = lines.size() > before &&
                            lines.back() == std::string(kStep) + "LarkInfo payload parse error";
    EXPECT_EQ(parseError, c.parseErrorLine);
  }
  EXPECT_TRUE(FakeEngine::Calls().empty());
  EXPECT_EQ(FakeEngine::Installed()->InstanceForTest(), nullptr);
}

TEST_F(EngineMethods, LarkInfoWithoutALoadedLibraryAnswersAtOnceAndLogsNothing) {
  Engine notLoaded;
  LarkEngine::EngineMethods notLoadedMethods(notLoaded, reinterpret_cast<void*>(0x42), RunInPlace);
  EXPECT_EQ(notLoadedMethods.LarkInfo(R"({"hWnd":"1"})"), "error:dll_not_loaded");
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(EngineMethods, LarkInfoAfterTheTeardownNeverCallsTheEngine) {
  FakeEngine::Installed()->Teardown();
  EXPECT_EQ(methods.LarkInfo(R"({"hWnd":"1"})"), "error:dll_not_loaded");
  EXPECT_EQ(FakeEngine::Calls(), (Lines{"RELEASE"}));
}

TEST_F(EngineMethods, FailedCreationAndRefusedSessionInfo) {
  FakeEngine::larkInfoResult = false;
  EXPECT_EQ(methods.LarkInfo(R"({"hWnd":"7"})"), "error:lark_info_failed");
  EXPECT_EQ(log.Messages().back(), std::string(kStep) + "REMOTE_LARK_INFO result : 0");
  EXPECT_EQ(FakeEngine::Calls().size(), 2u);  // no callbacks registered
  // The instance stays, so Start reaches the engine.
  EXPECT_EQ(methods.Start("5"), "ok");
  EXPECT_EQ(FakeEngine::Calls().back(), "START 4096 5");

  // A failing CREATE leaves none stored, and the refused one is deleted first.
  FakeEngine::createResult = nullptr;
  EXPECT_EQ(methods.LarkInfo(R"({"hWnd":"7"})"), "error:create_failed");
  EXPECT_EQ(log.Messages().back(), std::string(kStep) + "REMOTE_CREATE failed");
  EXPECT_EQ(FakeEngine::Installed()->InstanceForTest(), nullptr);
  EXPECT_EQ(methods.Start("5"), "error:not_initialized");
  const Lines calls = FakeEngine::Calls();
  EXPECT_EQ(Lines(calls.begin() + 3, calls.end()), (Lines{"DELETE 4096", "CREATE 66 7"}));
}

// A parent that asks again replaces the instance: each one CREATE returned is deleted exactly
// once, before the next CREATE, and a payload refused before CREATE leaves the stored one alone.
TEST_F(EngineMethods, ASecondLarkInfoDeletesTheInstanceItReplaces) {
  struct Step {
    std::uintptr_t created;
    bool larkInfo;
    const char* answer;
  };
  for (const Step& step :
       {Step{0x1000, true, "ok"}, Step{0x2000, true, "ok"},
        Step{0x3000, false, "error:lark_info_failed"}, Step{0, true, "error:create_failed"}}) {
    FakeEngine::createResult = reinterpret_cast<void*>(step.created);
    FakeEngine::larkInfoResult = step.larkInfo;
    EXPECT_EQ(methods.LarkInfo(R"({"hWnd":"7"})"), step.answer);
    EXPECT_EQ(methods.LarkInfo(R"({"hWnd":""})"), "error:invalid_payload");
    EXPECT_EQ(FakeEngine::Installed()->InstanceForTest(), reinterpret_cast<void*>(step.created));
  }
  EXPECT_EQ(FakeEngine::Calls(),
            (Lines{"CREATE 66 7", "LARK_INFO 4096 [|||||||]", "CALLBACK_REQUEST 4096",
                   "CALLBACK_DATA 4096", "CALLBACK_CONTROL_IPC 4096", "DELETE 4096", "CREATE 66 7",
                   "LARK_INFO 8192 [|||||||]", "CALLBACK_REQUEST 8192", "CALLBACK_DATA 8192",
                   "CALLBACK_CONTROL_IPC 8192", "DELETE 8192", "CREATE 66 7",
                   "LARK_INFO 12288 [|||||||]", "DELETE 12288", "CREATE 66 7"}));

  const Lines lines = log.Messages();
  const std::string deleted = std::string(kStep) + "REMOTE_DELETE previous instance";
  EXPECT_EQ(std::count(lines.begin(), lines.end(), deleted), 3);
  // Under the step's tag, after its first line and right before CREATE's outcome.
  const auto first = std::find(lines.begin(), lines.end(), deleted);
  ASSERT_NE(first, lines.end());
  EXPECT_EQ(*(first - 1), std::string(kStep) + "REMOTE_CREATE on main thread");
  EXPECT_EQ(*(first + 1), std::string(kStep) + "REMOTE_CREATE success");
}

TEST_F(EngineMethods, StartConvertsItsNumberLikeStoi) {
  EXPECT_EQ(methods.Start("1"), "error:not_initialized");
  EXPECT_TRUE(log.Messages().empty());
  ASSERT_EQ(methods.LarkInfo(R"({"hWnd":"1"})"), "ok");

  EXPECT_EQ(methods.Start("7 and more"), "ok");
  EXPECT_EQ(FakeEngine::Calls().back(), "START 4096 7");
  EXPECT_EQ(log.Messages().back(), "[HandleRemoteStart] Start : 7 and more");
  EXPECT_EQ(methods.Start(" -2147483648"), "ok");
  EXPECT_EQ(FakeEngine::Calls().back(), "START 4096 -2147483648");

  const std::size_t calls = FakeEngine::Calls().size();
  try {
    methods.Start("letters");
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "invalid stoi argument");
  }
  for (const char* tooLarge : {"3000000000", "-2147483649", "99999999999999999999999"}) {
    try {
      methods.Start(tooLarge);
      ADD_FAILURE() << "no exception for " << tooLarge;
    } catch (const std::out_of_range& error) {
      EXPECT_STREQ(error.what(), "stoi argument out of range");
    }
  }
  EXPECT_EQ(FakeEngine::Calls().size(), calls);  // START not called

  FakeEngine::startResult = false;
  EXPECT_EQ(methods.Start("1"), "error:start_failed");
}

TEST_F(EngineMethods, FlagsAreExactlyOneOrTrue) {
  EXPECT_EQ(methods.EnableControl("1"), "false");  // no instance yet: no call, no line
  EXPECT_TRUE(log.Messages().empty());
  ASSERT_EQ(methods.LarkInfo(R"({"hWnd":"1"})"), "ok");
  const std::size_t before = FakeEngine::Calls().size();

  for (const char* on : {"1", "true"}) EXPECT_EQ(methods.EnableControl(on), "true");
  for (const char* off : {"TRUE", " 1", "0", "", "true "}) methods.EnableCef(off);
  FakeEngine::boolResult = false;
  EXPECT_EQ(methods.EnableControl("true"), "false");

  const Lines calls = FakeEngine::Calls();
  EXPECT_EQ(Lines(calls.begin() + before, calls.end()),
            (Lines{"ENABLE_CONTROL 4096 1", "ENABLE_CONTROL 4096 1", "CEF_INPUT 4096 0",
                   "CEF_INPUT 4096 0", "CEF_INPUT 4096 0", "CEF_INPUT 4096 0", "CEF_INPUT 4096 0",
                   "ENABLE_CONTROL 4096 1"}));
  EXPECT_TRUE(log.Contains("[HandleRemoteEnableControl] HandleRemoteEnableControl : true"));
  EXPECT_TRUE(log.Contains("[HandleCefEnableControl] HandleCefEnableControl : false"));
}

TEST_F(EngineMethods, OpenUrlIsRunAndEndFollowTheInstance) {
  EXPECT_EQ(methods.OpenUrl("https://x"), "false");
  EXPECT_EQ(methods.IsRun(""), "false");
  EXPECT_EQ(methods.End(""), "ok");
  EXPECT_TRUE(FakeEngine::Calls().empty());

  ASSERT_EQ(methods.LarkInfo(R"({"hWnd":"1"})"), "ok");
  EXPECT_EQ(methods.OpenUrl(std::string("https://x\0hidden", 16)), "true");
  EXPECT_EQ(FakeEngine::Calls().back(), "OPEN 4096 https://x");  // up to the first zero byte
  EXPECT_EQ(methods.IsRun("ignored"), "true");

  const std::size_t before = FakeEngine::Calls().size();
  EXPECT_EQ(methods.End(""), "ok");
  EXPECT_EQ(methods.End(""), "ok");
  EXPECT_EQ(methods.IsRun(""), "false");
  EXPECT_EQ(methods.Start("1"), "error:not_initialized");
  const Lines calls = FakeEngine::Calls();
  EXPECT_EQ(Lines(calls.begin() + before, calls.end()), (Lines{"DELETE 4096"}));
}

// Every call into the engine is told to the monitor under its export's name, and ends there.
TEST_F(EngineMethods, EveryEngineCallIsToldToTheMonitorByItsExportName) {
  struct Recorder final : EngineCallMonitor {
    void CallStarted(const char* exportName) noexcept override { seen.push_back(exportName); }
    void CallEnded() noexcept override { seen.push_back("end"); }
    Lines seen;
  } monitor;
  FakeEngine::Installed()->SetCallMonitor(&monitor);
  ASSERT_EQ(methods.LarkInfo(R"({"hWnd":"1"})"), "ok");
  methods.Start("1");
  methods.OpenUrl("u");
  methods.EnableControl("1");
  methods.EnableCef("1");
  methods.IsRun("");
  methods.End("");
  ASSERT_EQ(methods.LarkInfo(R"({"hWnd":"1"})"), "ok");
  FakeEngine::Installed()->Teardown();

  Lines expected;
  for (const char* name :
       {kCreateExport, kLarkInfoExport, kCallbackRequestExport, kCallbackDataExport,
        kCallbackControlIpcExport, kStartExport, kOpenExport, kEnableControlExport, kCefInputExport,
        kIsRunExport, kDeleteExport, kCreateExport, kLarkInfoExport, kCallbackRequestExport,
        kCallbackDataExport, kCallbackControlIpcExport, kDeleteExport, kReleaseExport}) {
    expected.push_back(name);
    expected.push_back("end");
  }
  EXPECT_EQ(monitor.seen, expected);
}

}  // namespace
}  // namespace LarkEngine
