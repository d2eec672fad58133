#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <utility>

#include "rpc/pipe_io.h"
#include "rpc/pipe_write_race.h"

namespace AnonRpc {

// Descriptors are non-blocking (CreatePipePair makes them so): a call first just tries, and
// only when it would block does it poll, on the descriptor and, for a bound thread, on the wake
// pipe of its canceller. A cancel is a byte in that wake pipe, so it stays pending until the
// thread sees it, and it never disturbs the thread's other I/O.
struct PipeCancel::State {
  std::atomic<bool> cancelled{false};
  int wake[2] = {-1, -1};
};

namespace {

thread_local PipeCancel::State* t_bound = nullptr;
thread_local int t_lastError = 0;

int AsFd(PipeHandle handle) {
  return static_cast<int>(handle);
}

// A write to a pipe without reader must fail with EPIPE, as WriteFile fails, not kill the
// process with SIGPIPE.
const bool kSigpipeIgnored = []() noexcept {
  (void)std::signal(SIGPIPE, SIG_IGN);  // fails only for a signal number that does not exist
  return true;
}();

bool Fail(int error) {
  t_lastError = error;
  return false;
}

bool Cancelled() {
  return t_bound != nullptr && t_bound->cancelled.load();
}

// Waits until `fd` is ready for `events`, or the bound thread is cancelled.
bool WaitReady(int fd, short events) {
  const int wake = t_bound != nullptr ? t_bound->wake[0] : -1;  // poll skips a negative fd
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    const int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(errno);
    if (fds[1].revents != 0) return Fail(ECANCELED);
    if (fds[0].revents != 0) return true;  // ready, or an error/hang-up the call will report
  }
}

// Blocks until a cancel of the bound thread is pending.
void AwaitCancel() {
  pollfd wake = {t_bound->wake[0], POLLIN, 0};
  while (poll(&wake, 1, -1) < 0 && errno == EINTR) {
  }
}

void Disarm(PipeCancel::State& state) {
  state.cancelled.store(false);
  char bytes[16];
  while (state.wake[0] >= 0 && read(state.wake[0], bytes, sizeof bytes) > 0) {
  }
}

// Races are armed for writes that can be cancelled, never for the others.
WriteRaceForTesting TakeBoundWriteRace() {
  return t_bound == nullptr ? WriteRaceForTesting::kNone : TakeWriteRace();
}

}  // namespace

bool PipeRead(PipeHandle handle, void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  *transferred = 0;
  if (!IsValidPipe(handle)) return Fail(EBADF);
  const int fd = AsFd(handle);
  for (;;) {
    if (Cancelled()) return Fail(ECANCELED);
    const ssize_t n = read(fd, buffer, length);
    if (n > 0) {
      *transferred = static_cast<std::uint32_t>(n);
      return true;
    }
    if (n == 0) return Fail(EPIPE);  // what ReadFile calls ERROR_BROKEN_PIPE
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return Fail(errno);
    if (!WaitReady(fd, POLLIN)) return false;
  }
}

bool PipeWrite(PipeHandle handle, const void* buffer, std::uint32_t length,
               std::uint32_t* transferred) {
  *transferred = 0;
  (void)kSigpipeIgnored;
  if (!IsValidPipe(handle)) return Fail(EBADF);
  const int fd = AsFd(handle);
  const char* bytes = static_cast<const char*>(buffer);
  const WriteRaceForTesting race = TakeBoundWriteRace();
  if (race == WriteRaceForTesting::kCancelLostAtEntry) {
    AwaitCancel();
    Disarm(*t_bound);
  }
  // A blocking WriteFile moves every byte; write() may stop short, so loop.
  while (*transferred < length) {
    if (Cancelled()) return Fail(ECANCELED);
    const ssize_t n = write(fd, bytes + *transferred, length - *transferred);
    if (n > 0) {
      *transferred += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return Fail(errno);
    if (!WaitReady(fd, POLLOUT)) return false;
  }
  if (race == WriteRaceForTesting::kCancelAfterCompletion) AwaitCancel();
  return true;
}

bool PipeFlush(PipeHandle handle) {
  // Nothing is buffered in user space; only a dead handle or a cancel fails it.
  if (!IsValidPipe(handle)) return Fail(EBADF);
  if (Cancelled()) return Fail(ECANCELED);
  return true;
}

void PipeClose(PipeHandle handle) {
  if (!IsValidPipe(handle)) return;
  const int lastError = errno;
  close(AsFd(handle));
  errno = lastError;
}

std::uint32_t LastPipeError() {
  return static_cast<std::uint32_t>(t_lastError);
}

std::uint32_t CancelledPipeError() {
  return ECANCELED;
}

bool CreatePipePair(PipeHandle* readEnd, PipeHandle* writeEnd, std::uint32_t bufferSize) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return Fail(errno);
  // With stdin closed a new end can be fd 0, which reads as "no handle".
  for (int& fd : fds) {
    if (fd != 0) continue;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);  // keeps O_NONBLOCK: same description
    close(fd);
    fd = moved;
  }
  if (fds[0] < 0 || fds[1] < 0) {
    const int error = errno;
    for (int fd : fds)
      if (fd >= 0) close(fd);
    return Fail(error);
  }
#ifdef F_SETPIPE_SZ
  if (bufferSize != 0) fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(bufferSize));
#else
  (void)bufferSize;
#endif
  *readEnd = static_cast<PipeHandle>(fds[0]);
  *writeEnd = static_cast<PipeHandle>(fds[1]);
  return true;
}

bool DuplicatePipe(PipeHandle handle, PipeHandle* duplicate) {
  const int fd = fcntl(AsFd(handle), F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return Fail(errno);
  *duplicate = static_cast<PipeHandle>(fd);
  return true;
}

PipeCancel::PipeCancel() : state_(std::make_unique<State>()) {
  if (pipe2(state_->wake, O_CLOEXEC | O_NONBLOCK) != 0) state_->wake[0] = state_->wake[1] = -1;
}

PipeCancel::~PipeCancel() {
  for (int fd : state_->wake)
    if (fd >= 0) close(fd);
}

PipeCancel::Scope::Scope(PipeCancel& cancel)
    : cancel_(cancel), previous_(std::exchange(t_bound, cancel.state_.get())) {}

PipeCancel::Scope::~Scope() {
  if (t_bound == cancel_.state_.get()) t_bound = previous_;  // scopes end in reverse order
}

void PipeCancel::Cancel() {
  state_->cancelled.store(true);
  if (state_->wake[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(state_->wake[1], &byte, 1);
  }
}

void PipeCancel::Rearm() {
  Disarm(*state_);
}

}  // namespace AnonRpc
