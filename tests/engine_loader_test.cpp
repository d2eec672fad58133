#include "engine/engine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "protocol/lark_protocol.h"
#include "support/bin_directory.h"
#include "support/captured_log.h"

namespace LarkEngine {
namespace {

using lark::test::BinDirectory;
using lark::test::CapturedLog;
using Lines = std::vector<std::string>;

// Every entry, in lookup order, as an address or null.
std::vector<const void*> Entries(Engine& engine) {
  const EngineExports e = engine.WithLock([](Engine::Locked& locked) { return locked.entryPoints; })
                              .value_or(EngineExports{});
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

bool AllNull(Engine& engine) {
  for (const void* entry : Entries(engine))
    if (entry != nullptr) return false;
  return !engine.Loaded();
}

struct EngineLoader : ::testing::Test {
  CapturedLog log;
};

TEST_F(EngineLoader, ResolvesAllTwelveExportsQuietlyAndUnloadsWithTheEngine) {
  {
    Engine engine;
    ASSERT_TRUE(engine.Load((BinDirectory() / LarkProtocol::kEngineLibraryName).wstring()));
    EXPECT_NE(GetModuleHandleW(LarkProtocol::kEngineLibraryName), nullptr);
    for (const void* entry : Entries(engine)) EXPECT_NE(entry, nullptr);
  }
  EXPECT_EQ(GetModuleHandleW(LarkProtocol::kEngineLibraryName), nullptr);
  EXPECT_TRUE(log.Messages().empty());
}

TEST_F(EngineLoader, AMissingFileLeavesEverythingNull) {
  Engine engine;
  EXPECT_FALSE(engine.Load((BinDirectory() / "NoSuchEngine.dll").wstring()));
  EXPECT_TRUE(AllNull(engine));
  EXPECT_EQ(log.Messages(), (Lines{"[LoadDll] LoadLibraryW failed : 126"}));
}

TEST_F(EngineLoader, MissingExportsAreAllLoggedAndNothingStaysLoaded) {
  Engine engine;
  EXPECT_FALSE(engine.Load((BinDirectory() / "LarkRemoteStreamer_lacking.dll").wstring()));
  EXPECT_TRUE(AllNull(engine));
  const std::string tag = "[LoadDll::<lambda_1>::operator ()] GetProcAddress failed : ";
  EXPECT_EQ(log.Messages(),
            (Lines{tag + "LKWINSDK_WEBRTC_OPEN", tag + "LKWINSDK_WEBRTC_CEF_INPUT"}));
  EXPECT_EQ(GetModuleHandleW(L"LarkRemoteStreamer_lacking.dll"), nullptr);  // unloaded again
}

}  // namespace
}  // namespace LarkEngine
