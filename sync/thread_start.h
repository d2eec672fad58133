#pragma once

// What every thread the host creates does first.

namespace LarkSync {

// Reserves stack for the crash handler (SetThreadStackGuarantee, 64 KiB), so that a stack
// overflow on this thread still gets its report instead of ending the process unseen. Windows
// only; elsewhere it does nothing. Wine 8 never reports a stack overflow to the handler anyway.
void ReserveStackForCrashReports();

}  // namespace LarkSync
