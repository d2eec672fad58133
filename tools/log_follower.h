#pragma once

// Switches the host's log on for one run and hands out the lines it gains. Construction keeps
// the flag file's content in a backup beside it, lklogfile.txt.larkhostctl, then writes
// "logfile_on" to the flag file (before the host starts, since the host reads it once).
// Destruction, or a console event that ends the process (Ctrl-C, Ctrl-Break, the console
// closed, logoff, shutdown), stops the ticks and gives the flag file its old content back, or
// removes it if there was none, and removes the backup. A run that ends without either (it was
// killed) leaves the backup, and the next run in that folder restores it first. Lines are read
// from where the log ended at construction; a log that shrank (was rotated) is read from its
// start.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sync/mutex.h"

namespace Larkhostctl {

class LogFollower {
 public:
  explicit LogFollower(const std::filesystem::path& hostFolder);
  ~LogFollower();
  LogFollower(const LogFollower&) = delete;
  LogFollower& operator=(const LogFollower&) = delete;

  // Calls `tick` every 50 ms on a thread of its own, until destruction, so that lines show up
  // while nothing else happens. Throws std::system_error when the thread cannot be created.
  void Start(std::function<void()> tick);
  // The whole lines added since the last call, without their CR LF. Any thread.
  std::vector<std::string> NewLines();

  // Gives back the flag file of `hostFolder` that a run which could not (a killed one) left
  // switched on, if its backup is there. Before a host starts in that folder.
  static void RestoreLeftOver(const std::filesystem::path& hostFolder);
  // Gives back the flag file of the follower alive, if any, for a process about to end without
  // destructors. Any thread.
  static void RestoreNow();

 private:
  void Restore() LARK_REQUIRES(restoreLock_);

  static LarkSync::Mutex restoreLock_;
  static LogFollower* alive_ LARK_GUARDED_BY(restoreLock_);

  std::filesystem::path flagFile_;
  std::filesystem::path backup_;
  std::optional<std::string> oldFlags_;  // nullopt: there was no flag file
  bool restored_ LARK_GUARDED_BY(restoreLock_) = false;
  std::filesystem::path log_;

  LarkSync::Mutex readLock_;
  std::uintmax_t offset_ LARK_GUARDED_BY(readLock_) = 0;
  std::string partial_ LARK_GUARDED_BY(readLock_);  // a line read without its end yet

  LarkSync::Mutex stopLock_;
  LarkSync::ConditionVariable stopSignal_;
  bool stopping_ LARK_GUARDED_BY(stopLock_) = false;
  std::thread thread_;
};

}  // namespace Larkhostctl
