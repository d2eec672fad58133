#pragma once

// What the host leaves behind when it crashes, whichever thread crashes (the main thread, a pipe
// worker, an engine callback thread or a thread of the engine's own) and however: an exception
// that nothing handles, std::terminate, abort() (where an engine's own C++ runtime ends up when
// an exception escapes a function that may not throw), or the C runtime's invalid-parameter or
// pure-call check.
//
// When logging is on, one line under the tag "CrashHandler" (what happened, the exception code,
// the first code outside Windows' own modules as module+0xOFFSET, the thread, the dump's name):
//   [CrashHandler] Unhandled exception 0xC0000005 at LarkRemoteStreamer.dll+0x1A2B on thread
//   1234; minidump LarkRemoteHost_20240302_090503_5678.dmp
// then a minidump of that name in the log directory (thread stacks, the faulting thread's
// context), keeping the kMaxCrashDumps newest there. Then, logging on or off, the process ends
// with the exception code as its exit code, without an error dialog or a debugger.
//
// The crashed process is not to be trusted: the line, the dump and the pruning are done by a
// thread started at installation that sleeps until then, with buffers prepared then too; the
// crashed thread only hands over and waits for it, for a bounded time. The log line takes the
// logger's lock with a short wait (a crashed thread may hold it) and is skipped without it; the
// dump is still written. A crash inside the handling ends the process at once; a crash on
// another thread meanwhile waits for the first one's end. A dump that cannot be written whole is
// deleted.

// The same thread watches for hangs: given a hang watchdog, it asks it four times a second what
// is due. A slow engine call gets one line under the tag "HangWatchdog" and a dump named and
// kept as the crash dumps are, and the host goes on; a shutdown that did not finish in time gets
// the same and then ends the process with exit code 0xC0000194 (STATUS_POSSIBLE_DEADLOCK).
// With logging off, only the end.

namespace LarkHost {

class HangWatchdog;

// Installs the handlers for the whole process and sets its error mode so that Windows shows no
// crash dialog. Main thread, once: after the single-instance guard (a duplicate host never
// touches the running one's dumps) and before the engine is loaded. It starts the thread that
// writes the report when the process's logger is on or a watchdog is given; if that or the
// logger cannot be had, crashes only end the process. `watchdog` must live as long as the
// process. Never throws, logs nothing.
void InstallCrashHandler(HangWatchdog* watchdog = nullptr);

}  // namespace LarkHost
