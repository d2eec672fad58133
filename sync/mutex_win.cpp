#include <windows.h>

#include <algorithm>

#include "sync/mutex.h"

namespace LarkSync {

namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*),
              "both are one pointer, zero when initialised");

PSRWLOCK Srw(void*& storage) {
  return reinterpret_cast<PSRWLOCK>(&storage);
}
PCONDITION_VARIABLE Condition(void*& storage) {
  return reinterpret_cast<PCONDITION_VARIABLE>(&storage);
}

}  // namespace

void Mutex::lock() {
  AcquireSRWLockExclusive(Srw(srwLock_));
}
bool Mutex::try_lock() {
  return TryAcquireSRWLockExclusive(Srw(srwLock_)) != FALSE;
}
void Mutex::unlock() {
  ReleaseSRWLockExclusive(Srw(srwLock_));
}

void ConditionVariable::notify_one() {
  WakeConditionVariable(Condition(condition_));
}
void ConditionVariable::notify_all() {
  WakeAllConditionVariable(Condition(condition_));
}

void ConditionVariable::wait(MutexLock& lock) {
  SleepConditionVariableSRW(Condition(condition_), Srw(lock.mutex_.srwLock_), INFINITE, 0);
}

void ConditionVariable::WaitAtMost(MutexLock& lock, std::chrono::milliseconds timeout) {
  const DWORD milliseconds = static_cast<DWORD>(
      std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1));
  SleepConditionVariableSRW(Condition(condition_), Srw(lock.mutex_.srwLock_), milliseconds, 0);
}

}  // namespace LarkSync
