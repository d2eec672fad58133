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
  Locked{entryPoints_, instance_, monitor_}.Call(kDeleteExport, entryPoints_.destroy, instance_);
  instance_ = nullptr;
}

void Engine::Teardown(const LockWaiter& waitForLock) {
  AcquireForTeardown(waitForLock);
  LarkSync::MutexLock lock(lock_, LarkSync::kAdoptLock);
  if (unloaded_) return;
  const Locked locked{entryPoints_, instance_, monitor_};
  if (entryPoints_.destroy != nullptr && instance_ != nullptr) {
    locked.Call(kDeleteExport, entryPoints_.destroy, instance_);
    instance_ = nullptr;
  }
  if (entryPoints_.release != nullptr) locked.Call(kReleaseExport, entryPoints_.release);
  module_.reset();
  unloaded_ = true;
}

void Engine::AcquireForTeardown(const LockWaiter& waitForLock) LARK_NO_THREAD_SAFETY_ANALYSIS {
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
