#pragma once

// The process's single-instance guard: the named mutex, held from Acquire until Release or
// destruction. It is never waited on: its existence while the handle is open marks a running
// host. Main thread.

#include "win/unique_handle.h"

namespace LarkHost {

class SingleInstanceGuard {
 public:
  // True when this process now holds the mutex; logs why not otherwise (the first log site of
  // the process).
  bool Acquire();
  // From here on a new host may start.
  void Release() { mutex_.Reset(); }

 private:
  LarkWin::UniqueHandle mutex_;
};

}  // namespace LarkHost
