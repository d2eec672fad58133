#include <windows.h>

#include <atomic>
#include <utility>

#include "rpc/pipe_io.h"
#include "rpc/pipe_write_race.h"
#include "sync/mutex.h"
#include "win/unique_handle.h"

namespace AnonRpc {

struct PipeCancel::State {
  LarkSync::Mutex mutex;
  DWORD threadId LARK_GUARDED_BY(mutex) =
      0;  // the bound thread; opened only to cancel, which is rare
  bool inCall LARK_GUARDED_BY(mutex) = false;
  bool cancelled LARK_GUARDED_BY(mutex) = false;
};

namespace {

thread_local PipeCancel::State* t_bound = nullptr;
thread_local DWORD t_lastError = 0;

HANDLE AsHandle(PipeHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// Marks the bound thread as inside a pipe call, so Cancel() targets only that call.
class CallGuard {
 public:
  CallGuard() : state_(t_bound) {
    if (state_ == nullptr) return;
    LarkSync::MutexLock lock(state_->mutex);
    if (state_->cancelled) {
      refused_ = true;
      return;
    }
    state_->inCall = true;
  }
  ~CallGuard() {
    if (state_ == nullptr || refused_) return;
    LarkSync::MutexLock lock(state_->mutex);
    state_->inCall = false;
  }
  bool Refused() const { return refused_; }

 private:
  PipeCancel::State* state_;
  bool refused_ = false;
};

bool Refuse(DWORD error) {
  t_lastError = error;
  return false;
}

bool Finish(BOOL ok) {
  t_lastError = ok ? 0 : GetLastError();
  return ok != FALSE;
}

}  // namespace

namespace {

// One system call on a valid handle, refused at once after a cancel.
template <typename SystemCall>
bool Guarded(PipeHandle handle, SystemCall call) {
  if (!IsValidPipe(handle)) return Refuse(ERROR_INVALID_HANDLE);
  CallGuard guard;
  if (guard.Refused()) return Refuse(ERROR_OPERATION_ABORTED);
  return Finish(call(AsHandle(handle)));
}

}  // namespace

bool PipeRead(PipeHandle handle, void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  DWORD done = 0;
  const bool ok =
      Guarded(handle, [&](HANDLE h) { return ReadFile(h, buffer, length, &done, nullptr); });
  *transferred = done;
  return ok;
}

namespace {

// Races are armed for writes that can be cancelled, never for the others.
WriteRaceForTesting TakeBoundWriteRace() {
  return t_bound == nullptr ? WriteRaceForTesting::kNone : TakeWriteRace();
}

// Waits, inside the call but in no I/O, until the bound thread has been cancelled: the
// CancelSynchronousIo finds nothing to end.
void AwaitCancel() {
  for (;;) {
    {
      LarkSync::MutexLock lock(t_bound->mutex);
      if (t_bound->cancelled) return;
    }
    Sleep(1);
  }
}

}  // namespace

bool PipeWrite(PipeHandle handle, const void* buffer, std::uint32_t length,
               std::uint32_t* transferred) {
  DWORD done = 0;
  const WriteRaceForTesting race = TakeBoundWriteRace();
  const bool ok = Guarded(handle, [&](HANDLE h) {
    if (race == WriteRaceForTesting::kCancelLostAtEntry) AwaitCancel();
    const BOOL written = WriteFile(h, buffer, length, &done, nullptr);
    if (written && race == WriteRaceForTesting::kCancelAfterCompletion) AwaitCancel();
    return written;
  });
  *transferred = done;
  return ok;
}

bool PipeFlush(PipeHandle handle) {
  return Guarded(handle, [](HANDLE h) { return FlushFileBuffers(h); });
}

void PipeClose(PipeHandle handle) {
  if (!IsValidPipe(handle)) return;
  const DWORD lastError = GetLastError();
  CloseHandle(AsHandle(handle));
  SetLastError(lastError);
}

std::uint32_t LastPipeError() {
  return t_lastError;
}

std::uint32_t CancelledPipeError() {
  return ERROR_OPERATION_ABORTED;
}

bool CreatePipePair(PipeHandle* readEnd, PipeHandle* writeEnd, std::uint32_t bufferSize) {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, nullptr, bufferSize)) {
    t_lastError = GetLastError();
    return false;
  }
  *readEnd = reinterpret_cast<PipeHandle>(read);
  *writeEnd = reinterpret_cast<PipeHandle>(write);
  return true;
}

bool DuplicatePipe(PipeHandle handle, PipeHandle* duplicate) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), AsHandle(handle), GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    t_lastError = GetLastError();
    return false;
  }
  *duplicate = reinterpret_cast<PipeHandle>(copy);
  return true;
}

PipeCancel::PipeCancel() : state_(std::make_unique<State>()) {}
PipeCancel::~PipeCancel() = default;

PipeCancel::Scope::Scope(PipeCancel& cancel)
    : cancel_(cancel), previous_(std::exchange(t_bound, cancel.state_.get())) {
  LarkSync::MutexLock lock(cancel_.state_->mutex);
  cancel_.state_->threadId = GetCurrentThreadId();
}

PipeCancel::Scope::~Scope() {
  t_bound = previous_;
  LarkSync::MutexLock lock(cancel_.state_->mutex);
  cancel_.state_->threadId = 0;
}

void PipeCancel::Cancel() {
  LarkSync::MutexLock lock(state_->mutex);
  state_->cancelled = true;
  if (!state_->inCall || state_->threadId == 0) return;
  // Under the lock the thread cannot leave its pipe call, so it is alive and the cancel can
  // only hit that call, never other I/O of the thread.
  const LarkWin::UniqueHandle thread(OpenThread(THREAD_TERMINATE, FALSE, state_->threadId));
  if (thread) CancelSynchronousIo(thread.Get());
}

void PipeCancel::Rearm() {
  LarkSync::MutexLock lock(state_->mutex);
  state_->cancelled = false;
}

}  // namespace AnonRpc
