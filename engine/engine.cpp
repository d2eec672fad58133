#include "engine/engine.h"

namespace LarkEngine {

Engine::Engine() = default;
Engine::~Engine() = default;

void Engine::InstallForTest(const EngineExports& entryPoints) {
  std::lock_guard lock(lock_);
  entryPoints_ = entryPoints;
  instance_ = nullptr;
  unloaded_ = false;
}

void Engine::DeleteInstance() {
  std::lock_guard lock(lock_);
  if (unloaded_ || entryPoints_.destroy == nullptr || instance_ == nullptr) return;
  entryPoints_.destroy(instance_);
  instance_ = nullptr;
}

void Engine::Teardown(const LockWaiter& waitForLock) {
  std::unique_lock lock(lock_, std::defer_lock);
  if (waitForLock) {
    waitForLock(lock);
  } else {
    lock.lock();
  }
  if (unloaded_) return;
  if (entryPoints_.destroy != nullptr && instance_ != nullptr) {
    entryPoints_.destroy(instance_);
    instance_ = nullptr;
  }
  if (entryPoints_.release != nullptr) entryPoints_.release();
  module_.reset();
  unloaded_ = true;
}

bool Engine::TornDownForTest() {
  std::lock_guard lock(lock_);
  return unloaded_;
}

void* Engine::InstanceForTest() {
  std::lock_guard lock(lock_);
  return instance_;
}

}  // namespace LarkEngine
