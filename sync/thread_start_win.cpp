#include <windows.h>

#include "sync/thread_start.h"

namespace LarkSync {

void ReserveStackForCrashReports() {
  ULONG reserve = 64 * 1024;
  SetThreadStackGuarantee(&reserve);  // a failure leaves the thread as it was
}

}  // namespace LarkSync
