#include "engine/engine_loader.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "engine/engine_state.h"
#include "support/bin_directory.h"
#include "support/captured_log.h"

namespace {

using lark::test::BinDirectory;
using lark::test::CapturedLog;
using Lines = std::vector<std::string>;

// Every entry, in lookup order, as an address or null.
std::vector<const void*> Entries() {
  const EngineExports& e = EngineEntryPoints;
  return {reinterpret_cast<const void*>(e.create),
          reinterpret_cast<const void*>(e.destroy),
          reinterpret_cast<const void*>(e.larkInfo),
          reinterpret_cast<const void*>(e.start),
          reinterpret_cast<const void*>(e.isRun),
          reinterpret_cast<const void*>(e.open),
          reinterpret_cast<const void*>(e.enableControl),
          reinterpret_cast<const void*>(e.cefInput),
          reinterpret_cast<const void*>(e.release),
          reinterpret_cast<const void*>(e.callbackData),
          reinterpret_cast<const void*>(e.callbackRequest),
          reinterpret_cast<const void*>(e.callbackControlIpc)};
}

bool AllNull() {
  for (const void* entry : Entries())
    if (entry != nullptr) return false;
  return EngineModule == nullptr;
}

struct EngineLoader : ::testing::Test {
  ~EngineLoader() override {
    std::lock_guard lock(EngineLock);
    UnloadEngineModule();
    EngineEntryPoints = {};
  }
  CapturedLog log;
};

TEST_F(EngineLoader, ResolvesAllTwelveExportsQuietly) {
  ASSERT_TRUE(LoadDll((BinDirectory() / "LarkRemoteStreamer.dll").wstring()));
  EXPECT_NE(EngineModule, nullptr);
  for (const void* entry : Entries()) EXPECT_NE(entry, nullptr);
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(EngineLoader, AMissingFileLeavesEverythingNull) {
  EXPECT_FALSE(LoadDll((BinDirectory() / "NoSuchEngine.dll").wstring()));
  EXPECT_TRUE(AllNull());
  EXPECT_EQ(log.Messages(), (Lines{"[LoadDll] LoadLibraryW failed : 126"}));
}

TEST_F(EngineLoader, MissingExportsAreAllLoggedAndNothingStaysLoaded) {
  EXPECT_FALSE(LoadDll((BinDirectory() / "LarkRemoteStreamer_lacking.dll").wstring()));
  EXPECT_TRUE(AllNull());
  const std::string tag = "[LoadDll::<lambda_1>::operator ()] GetProcAddress failed : ";
  EXPECT_EQ(log.Messages(),
            (Lines{tag + "LKWINSDK_WEBRTC_OPEN", tag + "LKWINSDK_WEBRTC_CEF_INPUT"}));
  EXPECT_EQ(GetModuleHandleW(L"LarkRemoteStreamer_lacking.dll"), nullptr);  // unloaded again
}

}  // namespace
