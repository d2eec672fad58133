#pragma once

// Watches for the two ways an engine can keep the host from doing its job: a call into it that
// does not return, and a shutdown that does not finish. Portable and passive: it keeps the
// times and the call in progress, and whoever drives it (the host's watcher thread) asks Check
// what is due and acts on it: a slow call is reported and the host goes on; an unfinished
// shutdown is reported and the process ends with LarkProtocol::kHostHungExitCode.
//
// Any thread may call ShutdownRequested and ShutdownFinished; the engine calls made by the host
// are bracketed by CallStarted and CallEnded on their own thread (the engine lock admits one at
// a time); one thread at a time calls Check.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "engine/engine_call_monitor.h"
#include "protocol/lark_protocol.h"
#include "sync/mutex.h"

namespace LarkHost {

inline constexpr std::chrono::milliseconds kShutdownBound{30000};
inline constexpr std::chrono::milliseconds kSlowEngineCallBound{30000};

// This thread's system id (GetCurrentThreadId, gettid), as hang reports name threads.
std::uint64_t CurrentThreadId();

struct HangWatchdogSettings {
  std::chrono::milliseconds shutdownBound = kShutdownBound;
  std::chrono::milliseconds slowCallBound = kSlowEngineCallBound;
  std::function<std::uint64_t()> threadId = CurrentThreadId;
};

// What is due, as Check finds it.
struct HangReport {
  enum class Kind { kSlowCall, kShutdownHung };
  struct Call {
    const char* exportName;
    std::uint64_t threadId;
    std::chrono::steady_clock::duration running;
  };

  Kind kind;
  std::chrono::milliseconds bound;  // the bound that was passed
  std::optional<Call> call;         // the engine call in progress, if any
};

// The report's log line, without tag, into `out` (truncated to fit, NUL-terminated); its
// length. Allocates nothing, so a watcher can write it whatever the stuck thread holds.
//   Shutdown did not finish within 30 s (0xC0000194 STATUS_POSSIBLE_DEADLOCK):
//   LKWINSDK_WEBRTC_DELETE has run for 30.0 s on thread 1234; minidump <dumpName>
//   LKWINSDK_WEBRTC_CREATE has run for 30.0 s on thread 1234; minidump <dumpName>
// "no engine call running" stands for a missing call, "; minidump ..." is left out without a
// dump name.
std::size_t FormatHangReport(const HangReport& report, const char* dumpName, char* out,
                             std::size_t size);

class HangWatchdog final : public LarkEngine::EngineCallMonitor {
 public:
  using Clock = std::chrono::steady_clock;

  explicit HangWatchdog(HangWatchdogSettings settings = {});
  HangWatchdog(const HangWatchdog&) = delete;
  HangWatchdog& operator=(const HangWatchdog&) = delete;

  // The host was asked to end: the shutdown bound runs from the first request (the thread that
  // makes it may be the only one not stuck). Later requests change nothing.
  void ShutdownRequested() LARK_EXCLUDES(mutex_);
  // The orderly shutdown is over: nothing more is ever due.
  void ShutdownFinished() LARK_EXCLUDES(mutex_);

  void CallStarted(const char* exportName) noexcept override LARK_EXCLUDES(mutex_);
  void CallEnded() noexcept override LARK_EXCLUDES(mutex_);

  // What is due at `now`: a shutdown past its bound (from then on at every check), else a call
  // past its bound that has not been reported (each call at most once); nullopt otherwise.
  std::optional<HangReport> Check(Clock::time_point now) LARK_EXCLUDES(mutex_);

 private:
  struct CallInProgress {
    const char* exportName = nullptr;
    std::uint64_t threadId = 0;
    Clock::time_point started;
    bool reported = false;
  };

  std::optional<HangReport::Call> DescribeCall(Clock::time_point now) const LARK_REQUIRES(mutex_);

  const HangWatchdogSettings settings_;
  LarkSync::Mutex mutex_;
  std::optional<Clock::time_point> shutdownRequested_ LARK_GUARDED_BY(mutex_);
  bool shutdownFinished_ LARK_GUARDED_BY(mutex_) = false;
  std::optional<CallInProgress> call_ LARK_GUARDED_BY(mutex_);
};

}  // namespace LarkHost
