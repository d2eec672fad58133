#pragma once

// The one seam between the pipe RPC code and the operating system. On Windows a PipeHandle is a
// HANDLE value and the calls are ReadFile/WriteFile/FlushFileBuffers/CloseHandle; elsewhere it
// is a non-blocking file descriptor (as CreatePipePair makes them) on which the calls behave as
// the Windows ones do, so the same RPC code and tests run natively under the sanitizers.

#include <cstdint>
#include <memory>

namespace AnonRpc {

using PipeHandle = std::uintptr_t;

// Both 0 and all ones mean "no handle": such a value is never read, written or closed.
inline constexpr PipeHandle kInvalidPipe = ~PipeHandle{0};

constexpr bool IsValidPipe(PipeHandle handle) {
  return handle != 0 && handle != kInvalidPipe;
}

// One synchronous, blocking ReadFile: returns what is available, at least one byte, or fails.
// End of pipe fails (Windows reports it as ERROR_BROKEN_PIPE).
bool PipeRead(PipeHandle handle, void* buffer, std::uint32_t length, std::uint32_t* transferred);

// One synchronous, blocking WriteFile: returns when all bytes are in the pipe, or fails.
bool PipeWrite(PipeHandle handle, const void* buffer, std::uint32_t length,
               std::uint32_t* transferred);

// FlushFileBuffers: on a pipe it may block until the reader has drained it.
bool PipeFlush(PipeHandle handle);

// Closes a valid handle; keeps the thread's last system error as it was. Prefer UniquePipe.
void PipeClose(PipeHandle handle);

// The system error of this thread's last failed pipe call (GetLastError or errno).
std::uint32_t LastPipeError();

// The error a cancelled call reports (ERROR_OPERATION_ABORTED on Windows, ECANCELED elsewhere).
std::uint32_t CancelledPipeError();

// An anonymous pipe, for tests, tools and the parent kit. Neither end is inheritable.
// bufferSize 0 takes the system's default.
bool CreatePipePair(PipeHandle* readEnd, PipeHandle* writeEnd, std::uint32_t bufferSize = 0);

// A second handle to the same pipe end (DuplicateHandle / dup), not inheritable.
bool DuplicatePipe(PipeHandle handle, PipeHandle* duplicate);

// Lets another thread end the blocking pipe calls of one thread. The target thread binds itself
// with a Scope for as long as it may block in PipeRead/PipeWrite/PipeFlush; one thread at a time
// may be bound to a PipeCancel. Cancel() fails the
// call it is blocked in and every later call on that thread with CancelledPipeError(); it never
// touches any other I/O of that thread (an engine's sockets, say). A cancel that lands while the
// thread is between two calls is therefore not lost.
class PipeCancel {
 public:
  struct State;  // platform-specific; public only so the implementation can name it

  PipeCancel();
  ~PipeCancel();
  PipeCancel(const PipeCancel&) = delete;
  PipeCancel& operator=(const PipeCancel&) = delete;

  class Scope {
   public:
    explicit Scope(PipeCancel& cancel);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    PipeCancel& cancel_;
    State* previous_;  // scopes nest: an inner one restores the outer binding
  };

  void Cancel();

  // Undoes a Cancel() that found the call it was meant for already finished. Only for the owner
  // of the binding, when no Cancel() can race with it.
  void Rearm();

 private:
  std::unique_ptr<State> state_;
};

// For tests of the races between a cancel and the write it is aimed at: a PipeWrite of a thread
// bound to a PipeCancel, the one after the next `skipWrites` such writes, meets its Cancel() as
// chosen here, the same way every time.
enum class WriteRaceForTesting {
  kNone,
  // The write waits at its entry for a cancel, which is then lost to it, as a cancel that lands
  // while the thread is entering WriteFile is lost on Windows: the write goes on and can block
  // until a later cancel.
  kCancelLostAtEntry,
  // The write, its bytes all in the pipe, waits for a cancel before it succeeds: the cancel
  // comes just too late for the call it was aimed at.
  kCancelAfterCompletion,
};
void SetWriteRaceForTesting(WriteRaceForTesting race, int skipWrites = 0);

}  // namespace AnonRpc
