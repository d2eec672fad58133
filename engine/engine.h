#pragma once

// The streaming engine's life in this process, in one owner: its library (the module), the
// twelve exports resolved from it (the entry points), the current instance, the lock held for
// every call into it, and whether it has been torn down. Loading, creation, every call,
// deletion, release and unloading go through here, on whichever thread, so one instance is never
// deleted twice and no entry point runs while the library is being unloaded, or after. The
// engine's callbacks into the host never take the lock.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/engine_api.h"
#include "engine/engine_call_monitor.h"
#include "sync/mutex.h"

namespace LarkEngine {

class Engine {
 public:
  // What a call under the lock may use: the entry points, and the instance to use or replace.
  // Every entry point is called through Call, so that the monitor sees it.
  struct Locked {
    const EngineExports& entryPoints;
    void*& instance;
    EngineCallMonitor* monitor;

    template <typename Entry, typename... Args>
    auto Call(const char* exportName, Entry entry, Args&&... args) const {
      const Monitored scope(monitor, exportName);
      return entry(std::forward<Args>(args)...);
    }
  };
  // Takes the engine lock for the teardown on the main thread, which may have to answer window
  // messages while an engine call on another thread holds it; the default just waits.
  using LockWaiter = std::function<void(LarkSync::Mutex& lock)>;

  Engine();
  ~Engine();  // unloads the library if still loaded; calls nothing in it
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The monitor told of every call into the engine; before any other thread uses the engine,
  // and it must outlive the engine.
  void SetCallMonitor(EngineCallMonitor* monitor) { monitor_ = monitor; }

  // Loads the library at `path` and resolves all twelve exports, all or nothing: on any failure
  // the library is unloaded again and every entry is null. Logs each failure. Windows only;
  // before any other thread uses the engine.
  bool Load(const std::wstring& path);
  // A fake engine's exports with no library behind them, for tests.
  void InstallForTest(const EngineExports& entryPoints);

  // Whether CREATE is resolved: the entry points are all set or all null.
  // Lock-free: a request arriving while the teardown holds the lock across DELETE must not
  // wait for it.
  bool Loaded() const { return loaded_.load(); }

  // Runs `work(Locked&)` with the lock held and returns what it returns, unless the engine has
  // been torn down: then nothing runs and the result is nullopt. Exceptions pass through.
  template <typename Work, typename Result = std::invoke_result_t<Work, Locked&>>
  std::optional<Result> WithLock(Work&& work) LARK_EXCLUDES(lock_) {
    LarkSync::MutexLock lock(lock_);
    if (unloaded_) return std::nullopt;
    Locked locked{entryPoints_, instance_, monitor_};
    return work(locked);
  }

  // The same, only when an instance exists.
  template <typename Work, typename Result = std::invoke_result_t<Work, Locked&>>
  std::optional<Result> WithInstance(Work&& work) LARK_EXCLUDES(lock_) {
    LarkSync::MutexLock lock(lock_);
    if (unloaded_ || instance_ == nullptr) return std::nullopt;
    Locked locked{entryPoints_, instance_, monitor_};
    return work(locked);
  }

  // DELETE for the current instance, if there is one and DELETE is resolved; the instance is
  // gone afterwards. Any thread.
  void DeleteInstance();

  // DELETE for the current instance, RELEASE, and the library unloaded; from then on no entry
  // point runs and every WithLock finds the engine torn down. A second teardown does nothing.
  // Main thread.
  void Teardown(const LockWaiter& waitForLock = {});

  bool TornDownForTest();
  void* InstanceForTest();

  // What keeps the library loaded; defined by the platform's loader.
  struct Library {
    virtual ~Library() = default;
  };

 private:
  // Brackets one call for the monitor, whichever way the call ends.
  class Monitored {
   public:
    Monitored(EngineCallMonitor* monitor, const char* exportName) : monitor_(monitor) {
      if (monitor_ != nullptr) monitor_->CallStarted(exportName);
    }
    ~Monitored() {
      if (monitor_ != nullptr) monitor_->CallEnded();
    }
    Monitored(const Monitored&) = delete;
    Monitored& operator=(const Monitored&) = delete;

   private:
    EngineCallMonitor* const monitor_;
  };

  // The waiter takes the lock its own way; the analysis cannot look into a std::function.
  void AcquireForTeardown(const LockWaiter& waitForLock) LARK_ACQUIRE(lock_);

  LarkSync::Mutex lock_;
  EngineCallMonitor* monitor_ = nullptr;  // set before other threads use the engine
  std::atomic<bool> loaded_{false};       // CREATE resolved; never reset
  std::unique_ptr<Library> module_
      LARK_GUARDED_BY(lock_);                         // the loaded library; null when not loaded
  EngineExports entryPoints_ LARK_GUARDED_BY(lock_);  // all set or all null
  void* instance_ LARK_GUARDED_BY(lock_) = nullptr;   // the current instance; null when none
  bool unloaded_ LARK_GUARDED_BY(lock_) = false;  // set by the teardown: no entry point runs again
};

}  // namespace LarkEngine
