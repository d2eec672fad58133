#pragma once

// Told of every call the host makes into the engine's exports, on the calling thread, so that a
// call that never returns can be diagnosed. Both functions return at once and never call the
// engine; they may be called with the engine's lock held.

namespace LarkEngine {

class EngineCallMonitor {
 public:
  // `exportName` is a string literal: the export's name as the loader resolves it.
  virtual void CallStarted(const char* exportName) noexcept = 0;
  virtual void CallEnded() noexcept = 0;

 protected:
  ~EngineCallMonitor() = default;
};

}  // namespace LarkEngine
