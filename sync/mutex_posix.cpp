#include "sync/mutex.h"

namespace LarkSync {

void Mutex::lock() {
  mutex_.lock();
}
bool Mutex::try_lock() {
  return mutex_.try_lock();
}
void Mutex::unlock() {
  mutex_.unlock();
}

void ConditionVariable::notify_one() {
  condition_.notify_one();
}
void ConditionVariable::notify_all() {
  condition_.notify_all();
}

// The standard wait wants a std::unique_lock: lend it the held mutex for the wait only.
void ConditionVariable::wait(MutexLock& lock) {
  std::unique_lock<std::mutex> native(lock.mutex_.mutex_, std::adopt_lock);
  condition_.wait(native);
  native.release();
}

void ConditionVariable::WaitAtMost(MutexLock& lock, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> native(lock.mutex_.mutex_, std::adopt_lock);
  condition_.wait_for(native, timeout);
  native.release();
}

}  // namespace LarkSync
