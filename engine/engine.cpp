#include "engine/engine.h"

namespace LarkEngine {

Engine::Engine() = default;
Engine::~Engine() = default;

void Engine::InstallForTest(const EngineExports& entryPoints) {
  LarkSync::MutexLock lock(lock_);
  entryPoints_ = entryPoints;
  loaded_ = entryPoints.create != nullptr;
  instance_ = nullptr;
  unloaded_ = false;
}

void Engine::DeleteInstance() {
  LarkSync::MutexLock lock(lock_);
  if (unloaded_ || entryPoints_.destroy == nullptr || instance_ == nullptr) return;
  entryPoints_.destroy(instance_);
  instance_ = nullptr;
}

void Engine::Teardown(const LockWaiter& waitForLock) {
  AcquireForTeardown(waitForLock);
  LarkSync::MutexLock lock(lock_, LarkSync::kAdoptLock);
  if (unloaded_) return;
  if (entryPoints_.destroy != nullptr && instance_ != nullptr) {
    entryPoints_.destroy(instance_);
    instance_ = nullptr;
  }
  if (entryPoints_.release != nullptr) entryPoints_.release();
  module_.reset();
  unloaded_ = true;
}

void Engine::AcquireForTeardown(const LockWaiter& waitForLock) NO_THREAD_SAFETY_ANALYSIS {
  if (waitForLock) {
    waitForLock(lock_);
  } else {
    lock_.lock();
  }
}

bool Engine::TornDownForTest() {
  LarkSync::MutexLock lock(lock_);
  return unloaded_;
}

void* Engine::InstanceForTest() {
  LarkSync::MutexLock lock(lock_);
  return instance_;
}

}  // namespace LarkEngine
