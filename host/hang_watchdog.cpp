#include "host/hang_watchdog.h"

#include <algorithm>
#include <cstdio>

namespace LarkHost {

std::size_t FormatHangReport(const HangReport& report, const char* dumpName, char* out,
                             std::size_t size) {
  if (size == 0) return 0;
  std::size_t length = 0;
  // snprintf allocates nothing; what does not fit is cut.
  const auto advance = [&](int written) {
    if (written > 0) length += std::min(static_cast<std::size_t>(written), size - 1 - length);
  };
  const auto seconds = [](auto duration) {
    return std::chrono::duration<double>(duration).count();
  };
  if (report.kind == HangReport::Kind::kShutdownHung) {
    advance(std::snprintf(out + length, size - length,
                          "Shutdown did not finish within %g s (0x%08X STATUS_POSSIBLE_DEADLOCK): ",
                          seconds(report.bound),
                          static_cast<unsigned>(LarkProtocol::kHostHungExitCode)));
  }
  if (report.call) {
    advance(std::snprintf(out + length, size - length, "%s has run for %.1f s on thread %llu",
                          report.call->exportName, seconds(report.call->running),
                          static_cast<unsigned long long>(report.call->threadId)));
  } else {
    advance(std::snprintf(out + length, size - length, "no engine call running"));
  }
  if (dumpName != nullptr)
    advance(std::snprintf(out + length, size - length, "; minidump %s", dumpName));
  return length;
}

HangWatchdog::HangWatchdog(HangWatchdogSettings settings) : settings_(std::move(settings)) {}

void HangWatchdog::ShutdownRequested() {
  const Clock::time_point now = Clock::now();
  LarkSync::MutexLock lock(mutex_);
  if (!shutdownRequested_) shutdownRequested_ = now;
}

void HangWatchdog::ShutdownFinished() {
  LarkSync::MutexLock lock(mutex_);
  shutdownFinished_ = true;
}

void HangWatchdog::CallStarted(const char* exportName) noexcept {
  const std::uint64_t thread = settings_.threadId ? settings_.threadId() : 0;
  const Clock::time_point now = Clock::now();
  LarkSync::MutexLock lock(mutex_);
  call_ = CallInProgress{exportName, thread, now, false};
}

void HangWatchdog::CallEnded() noexcept {
  LarkSync::MutexLock lock(mutex_);
  call_.reset();
}

std::optional<HangReport::Call> HangWatchdog::DescribeCall(Clock::time_point now) const {
  if (!call_) return std::nullopt;
  return HangReport::Call{call_->exportName, call_->threadId, now - call_->started};
}

std::optional<HangReport> HangWatchdog::Check(Clock::time_point now) {
  LarkSync::MutexLock lock(mutex_);
  if (shutdownFinished_) return std::nullopt;
  if (shutdownRequested_ && now - *shutdownRequested_ >= settings_.shutdownBound)
    return HangReport{HangReport::Kind::kShutdownHung, settings_.shutdownBound, DescribeCall(now)};
  if (call_ && !call_->reported && now - call_->started >= settings_.slowCallBound) {
    call_->reported = true;
    return HangReport{HangReport::Kind::kSlowCall, settings_.slowCallBound, DescribeCall(now)};
  }
  return std::nullopt;
}

}  // namespace LarkHost
