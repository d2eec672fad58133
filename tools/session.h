#pragma once

// One host driven by larkhostctl: launched through the parent kit, its reverse calls answered as
// the options say, every frame printed (and captured) as it crosses, its log followed, commands
// run one after the other. Run and Finish are called from one thread; frames, log lines and the
// host's exit are printed from the threads that see them, each line whole.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "parent/host_process.h"
#include "sync/mutex.h"
#include "tools/arguments.h"
#include "tools/capture_file.h"
#include "tools/command.h"
#include "tools/frame_printer.h"
#include "tools/log_follower.h"

namespace Larkhostctl {

class Session {
 public:
  explicit Session(SessionOptions options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Launches the host; false when it could not, after saying why.
  bool Launch();
  // False when a script should stop here; the failure has been reported.
  bool Run(const Command& command);
  // Releases a host that still runs and waits for it to exit (terminating it after 30 s), prints
  // the heartbeat count, and returns the exit status: 0 when every call was answered with status
  // 0, every wait was met and the host exited with 0; kRefusedExitCode instead when a call was
  // refused and the options ask for it.
  int Finish();

 private:
  // What came, by notification type or reverse-call method, and how much of it waits took.
  struct Tally {
    std::map<std::string, int> seen, waited;
  };

  void OnFrame(Pipe pipe, std::string_view bytes);
  void PrintLogLines() LARK_REQUIRES(outputLock_);
  void Event(std::string_view name, const std::string& text,
             nlohmann::ordered_json fields = nlohmann::ordered_json::object());
  void Fail(const std::string& message);
  bool EndedEarly();
  std::string Meaning(std::uint32_t code);
  bool Call(const Command& command);
  // A wait-notify or wait-call command.
  bool Wait(const Command& command);
  std::optional<std::uint32_t> WaitForExit(std::chrono::milliseconds timeout);
  // The host's exit, on the thread that sees it.
  void Exited(std::uint32_t code);
  std::chrono::microseconds SinceLaunch() const;

  SessionOptions options_;
  std::chrono::steady_clock::time_point launched_;
  std::unique_ptr<LarkParent::HostProcess> host_;
  std::unique_ptr<LogFollower> log_;

  LarkSync::Mutex outputLock_ LARK_ACQUIRED_BEFORE(stateLock_);
  FramePrinter printer_ LARK_GUARDED_BY(outputLock_);
  std::map<Pipe, PipeStream> streams_ LARK_GUARDED_BY(outputLock_);
  std::unique_ptr<CaptureWriter> capture_ LARK_GUARDED_BY(outputLock_);

  LarkSync::Mutex stateLock_;
  LarkSync::ConditionVariable changed_;
  Tally notifications_ LARK_GUARDED_BY(stateLock_), reverseCalls_ LARK_GUARDED_BY(stateLock_);
  // Reverse calls by id, until answered.
  std::map<std::uint32_t, std::string> answering_ LARK_GUARDED_BY(stateLock_);
  std::optional<std::uint32_t> exitCode_ LARK_GUARDED_BY(stateLock_);
  bool exitExpected_ LARK_GUARDED_BY(stateLock_) = false;
  bool answered_ LARK_GUARDED_BY(stateLock_) = false;  // a response came on the forward pipes

  bool failed_ = false;   // Run's thread only
  bool refused_ = false;  // the same
  bool earlyEndReported_ = false;
};

// "5s", or "500ms" when not whole seconds.
std::string Seconds(std::chrono::milliseconds time);

// What an exit code of the host says; for a crash, the code and the minidump the host left in
// its folder.
std::string ExitMeaning(std::uint32_t code, std::uint32_t processId,
                        const std::filesystem::path& hostFolder);

}  // namespace Larkhostctl
