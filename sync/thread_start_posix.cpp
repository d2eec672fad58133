#include "sync/thread_start.h"

namespace LarkSync {

void ReserveStackForCrashReports() {}

}  // namespace LarkSync
