#include "rpc/pipe_write_race.h"

#include <atomic>

namespace AnonRpc {

namespace {

// The race plus 4 for each write still to skip; 0 when none is armed.
std::atomic<int> g_writeRace{0};

}  // namespace

WriteRaceForTesting TakeWriteRace() {
  int armed = g_writeRace.load();
  while (armed != 0) {
    const int rest = armed >= 4 ? armed - 4 : 0;
    if (g_writeRace.compare_exchange_weak(armed, rest))
      return armed >= 4 ? WriteRaceForTesting::kNone : static_cast<WriteRaceForTesting>(armed);
  }
  return WriteRaceForTesting::kNone;
}

void SetWriteRaceForTesting(WriteRaceForTesting race, int skipWrites) {
  g_writeRace.store(race == WriteRaceForTesting::kNone ? 0
                                                       : static_cast<int>(race) + 4 * skipWrites);
}

}  // namespace AnonRpc
