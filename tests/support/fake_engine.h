#pragma once

// A stand-in for the engine's twelve exports, recording every call, for native tests of the
// bridge. Install() puts them in a fresh engine (hand it to the methods under test); Reset()
// forgets that engine and every recorded call.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace lark::test {

struct FakeEngine {
  // Results the next calls give.
  static inline void* createResult = reinterpret_cast<void*>(0x1000);
  static inline bool larkInfoResult = true;
  static inline bool startResult = true;
  static inline bool boolResult = true;  // ISRUN, OPEN, ENABLE_CONTROL, CEF_INPUT, CONTROL_IPC

  static inline LarkEngine::EngineDataCallbackFn data = nullptr;
  static inline LarkEngine::EngineRequestCallbackFn request = nullptr;
  static inline LarkEngine::EngineControlCallbackFn control = nullptr;

  static LarkEngine::Engine* Install();
  // The engine Install() made; null after Reset().
  static LarkEngine::Engine* Installed() { return engine_.get(); }
  static void Reset();
  static std::vector<std::string> Calls();
  static void Record(std::string call);

 private:
  static inline std::unique_ptr<LarkEngine::Engine> engine_;
  static inline std::mutex mutex_;
  static inline std::vector<std::string> calls_;
};

}  // namespace lark::test
