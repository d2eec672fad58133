#include "host/crash_handler.h"

#include <windows.h>
#include <dbghelp.h>
#ifdef _MSC_VER
#include <intrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "host/hang_watchdog.h"
#include "logging/log_files.h"
#include "logging/log_time.h"
#include "logging/logger.h"
#include "sync/thread_start.h"
#include "win/unique_handle.h"

// The address a handler returns to: the code that called it. In the handler's own frame, so a
// macro.
#ifdef _MSC_VER
#define CALLER_ADDRESS() _ReturnAddress()
#else
#define CALLER_ADDRESS() __builtin_return_address(0)
#endif

namespace LarkHost {

using LarkLogging::FormatCrashDumpName;
using LarkLogging::kCrashDumpExtension;
using LarkLogging::kCrashDumpPrefix;
using LarkLogging::kMaxCrashDumps;
using LarkLogging::LogDirectoryFile;
using LarkLogging::Logger;
using LarkLogging::SystemLogTime;

namespace {

// abort() as Windows' C runtime reports it (STATUS_FATAL_APP_EXIT); std::terminate and a pure
// virtual call end in abort() there, so they report the same.
constexpr DWORD kFatalAppExit = 0x40000015;
// STATUS_INVALID_CRUNTIME_PARAMETER, as the C runtime's own invalid-parameter check reports.
constexpr DWORD kInvalidCrtParameter = 0xC0000417;

// How long a crashed thread waits for the report. Writing a dump of stacks takes well under a
// second; a report stuck on a lock that the crashed thread holds (the loader's, the heap's) must
// not keep a dead host alive for long.
constexpr DWORD kReportTimeoutMs = 30000;
// How often the watcher asks the hang watchdog what is due: the bounds are tens of seconds.
constexpr DWORD kWatchPeriodMs = 250;
constexpr std::chrono::milliseconds kLogLockWait{200};
constexpr int kMaxFrames = 64;
constexpr std::size_t kMaxPath = MAX_PATH + 64;

// Text appended to without allocating; what does not fit is dropped.
class FixedText {
 public:
  void Append(std::string_view text) {
    const std::size_t kept = std::min(text.size(), sizeof text_ - length_);
    std::memcpy(text_ + length_, text.data(), kept);
    length_ += kept;
  }
  void AppendNumber(std::uint64_t value, int base, int width = 1) {
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
    for (char* digit = digits; digit != end; ++digit)
      if (*digit >= 'a') *digit = static_cast<char>(*digit - 'a' + 'A');
    for (int pad = width - static_cast<int>(end - digits); pad > 0; --pad) Append("0");
    Append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  void AppendHex(std::uint64_t value, int width = 1) {
    Append("0x");
    AppendNumber(value, 16, width);
  }
  std::string_view View() const { return std::string_view(text_, length_); }

 private:
  char text_[Logger::kMaxTryWriteMessage] = {};
  std::size_t length_ = 0;
};

// What a crashed thread hands over to the report thread.
struct Report {
  EXCEPTION_POINTERS* pointers = nullptr;
  DWORD threadId = 0;
  const char* what = nullptr;
};

// Prepared at installation, so the report allocates nothing. Without a logger (logging is off)
// nothing is written: a crash only ends the process, a hang only ends it when it must.
struct Prepared {
  Logger* logger = nullptr;
  char folder[kMaxPath] = {};  // the log directory, with its separator
  char dumpPattern[kMaxPath] = {};
  decltype(&MiniDumpWriteDump) writeDump = nullptr;  // null: no dumps
  wchar_t windows[MAX_PATH] = {};                    // modules below it are Windows' own
  int windowsLength = 0;
  HangWatchdog* watchdog = nullptr;
  HANDLE wake = nullptr;     // null: no watcher thread
  HANDLE watcher = nullptr;  // the watcher thread, signalled once it has ended
  HANDLE done = nullptr;
  DWORD reporterId = 0;
  Report report;
};

Prepared g_prepared;
std::atomic<DWORD> g_crashedThread{0};
std::atomic<DWORD> g_exitCode{0};

[[noreturn]] void EndProcess(DWORD code) {
  TerminateProcess(GetCurrentProcess(), code);
  for (;;) Sleep(INFINITE);  // TerminateProcess does not return to the process it ends
}

[[noreturn]] void HandleCrash(EXCEPTION_POINTERS* pointers, const char* what) {
  const DWORD self = GetCurrentThreadId();
  DWORD first = 0;
  if (!g_crashedThread.compare_exchange_strong(first, self)) {
    // The handling itself has crashed.
    if (first == self || self == g_prepared.reporterId) EndProcess(g_exitCode.load());
    // Another thread's crash is being reported; its end is this thread's end too.
    for (;;) Sleep(INFINITE);
  }
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  g_exitCode.store(code);
  if (g_prepared.wake != nullptr) {
    g_prepared.report = {pointers, self, what};
    SetEvent(g_prepared.wake);
    // During the process's exit the watcher has been ended already: then there is nobody to
    // wait for.
    const HANDLE waits[] = {g_prepared.done, g_prepared.watcher};
    WaitForMultipleObjects(2, waits, FALSE, kReportTimeoutMs);
  }
  EndProcess(code);
}

// The stack is walked only on x64, where every function but a leaf has unwind data; elsewhere
// the exception address alone says where the crash happened.
#if defined(_M_X64) || defined(__x86_64__)
bool Readable(DWORD64 address) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == 0) return false;
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return region.State == MEM_COMMIT && (region.Protect & kReadable) != 0 &&
         (region.Protect & PAGE_GUARD) == 0;
}

// One frame up; false at the end of the stack, or where it cannot be read (a crash may have
// been a broken stack).
bool Unwind(CONTEXT& context) {
  if (!Readable(context.Rsp)) return false;
  DWORD64 imageBase = 0;
  PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
  if (function == nullptr) {
    // A leaf function, or no code at all: the return address is on top of the stack.
    context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
    context.Rsp += 8;
  } else {
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                     &establisher, nullptr);
  }
  return context.Rip != 0;
}

DWORD64 ProgramCounter(const CONTEXT& context) {
  return context.Rip;
}
#else
bool Unwind(CONTEXT&) {
  return false;
}

DWORD64 ProgramCounter(const CONTEXT&) {
  return 0;
}
#endif

// A report for a crash that raised no exception, as if `caller` had raised one: its frame is
// the context, so the dump's faulting thread starts where the handler was called.
[[noreturn]] void HandleCrashAt(void* caller, DWORD code, const char* what) {
  CONTEXT context;
  RtlCaptureContext(&context);
  CONTEXT frame = context;
  for (int up = 0; up < 4 && Unwind(frame); ++up) {
    if (ProgramCounter(frame) == reinterpret_cast<DWORD64>(caller)) {
      context = frame;
      break;
    }
  }
  EXCEPTION_RECORD record{};
  record.ExceptionCode = code;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = caller;
  EXCEPTION_POINTERS pointers{&record, &context};
  HandleCrash(&pointers, what);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  HandleCrash(pointers, "Unhandled exception");
}

// Also where an engine's own C++ runtime ends up (its std::terminate is not ours), and, with
// the Microsoft runtime, a std::terminate on a thread that installed no handler of its own.
void __cdecl OnAbort(int) {
  HandleCrashAt(CALLER_ADDRESS(), kFatalAppExit, "abort()");
}

void OnTerminate() {
  HandleCrashAt(CALLER_ADDRESS(), kFatalAppExit, "std::terminate()");
}

void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int,
                                std::uintptr_t) {
  HandleCrashAt(CALLER_ADDRESS(), kInvalidCrtParameter, "Invalid parameter to the C runtime");
}

void __cdecl OnPureCall() {
  HandleCrashAt(CALLER_ADDRESS(), kFatalAppExit, "Pure virtual call");
}

HMODULE ModuleAt(DWORD64 address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(address), &module)) {
    return nullptr;
  }
  return module;
}

bool IsWindowsModule(HMODULE module) {
  wchar_t name[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, name, MAX_PATH);
  const int prefix = g_prepared.windowsLength;
  return length > static_cast<DWORD>(prefix) && name[prefix] == L'\\' &&
         CompareStringOrdinal(name, prefix, g_prepared.windows, prefix, TRUE) == CSTR_EQUAL;
}

struct Place {
  HMODULE module = nullptr;  // null: in no module
  DWORD64 address = 0;
};

// The first code on the crashed thread's stack outside Windows' own modules: where a fault
// inside a system routine, a raised exception or an abort() came from. The exception address
// when there is none.
Place Locate(const EXCEPTION_POINTERS& pointers) {
  const auto address = reinterpret_cast<DWORD64>(pointers.ExceptionRecord->ExceptionAddress);
  const Place fault{ModuleAt(address), address};
  if (fault.module != nullptr && !IsWindowsModule(fault.module)) return fault;
  CONTEXT context = *pointers.ContextRecord;
  for (int frame = 0; frame < kMaxFrames && Unwind(context); ++frame) {
    const HMODULE module = ModuleAt(ProgramCounter(context));
    if (module != nullptr && !IsWindowsModule(module)) return {module, ProgramCounter(context)};
  }
  return fault;
}

void AppendModuleName(FixedText& text, HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  const wchar_t* name = path;
  for (DWORD i = 0; i < length; ++i)
    if (path[i] == L'\\' || path[i] == L'/') name = path + i + 1;
  char narrow[MAX_PATH];
  const int size = WideCharToMultiByte(CP_ACP, 0, name, static_cast<int>(path + length - name),
                                       narrow, static_cast<int>(sizeof narrow), nullptr, nullptr);
  text.Append(std::string_view(narrow, static_cast<std::size_t>(size > 0 ? size : 0)));
}

void WriteLine(const Report& report, const char* dumpName) {
  FixedText line;
  line.Append("[CrashHandler] ");
  line.Append(report.what);
  line.Append(" ");
  line.AppendHex(report.pointers->ExceptionRecord->ExceptionCode, 8);
  line.Append(" at ");
  const Place place = Locate(*report.pointers);
  if (place.module != nullptr) {
    AppendModuleName(line, place.module);
    line.Append("+");
    line.AppendHex(place.address - reinterpret_cast<DWORD64>(place.module));
  } else {
    line.AppendHex(place.address, 16);
  }
  line.Append(" on thread ");
  line.AppendNumber(report.threadId, 10);
  if (dumpName != nullptr) {
    line.Append("; minidump ");
    line.Append(dumpName);
  }
  g_prepared.logger->TryWrite(line.View(), kLogLockWait);
}

// `name` in the log directory, into `path`; false when it does not fit.
bool InFolder(const char* name, char (&path)[kMaxPath]) {
  const std::size_t folder = std::strlen(g_prepared.folder);
  const std::size_t length = std::strlen(name);
  if (folder + length >= kMaxPath) return false;
  std::memcpy(path, g_prepared.folder, folder);
  std::memcpy(path + folder, name, length + 1);
  return true;
}

// A dump of every thread; with `report`, its exception is the crash's.
bool WriteDump(const char* path, const Report* report) {
  if (g_prepared.writeDump == nullptr) return false;
  LarkWin::UniqueFile file(
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  if (report != nullptr) exception = {report->threadId, report->pointers, FALSE};
  const BOOL written =
      g_prepared.writeDump(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), MiniDumpNormal,
                           report != nullptr ? &exception : nullptr, nullptr, nullptr);
  file.Reset();  // a file still open cannot be deleted
  if (!written) DeleteFileA(path);
  return written;
}

bool IsDumpName(std::string_view name) {
  return name.starts_with(kCrashDumpPrefix) && name.ends_with(kCrashDumpExtension);
}

// Deletes the oldest dumps until kMaxCrashDumps are left; never `kept`, the one just written.
void PruneDumps(const char* kept) {
  for (;;) {
    WIN32_FIND_DATAA entry;
    const LarkWin::UniqueFind find(FindFirstFileA(g_prepared.dumpPattern, &entry));
    if (!find) return;
    int count = 0;
    WIN32_FIND_DATAA oldest{};
    do {
      // The pattern also matches by short names: the long name decides.
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !IsDumpName(entry.cFileName))
        continue;
      ++count;
      if (std::strcmp(entry.cFileName, kept) == 0) continue;
      const LONG order = CompareFileTime(&entry.ftLastWriteTime, &oldest.ftLastWriteTime);
      if (oldest.cFileName[0] == '\0' || order < 0 ||
          (order == 0 && std::strcmp(entry.cFileName, oldest.cFileName) < 0)) {
        oldest = entry;
      }
    } while (FindNextFileA(find.Get(), &entry));
    char path[kMaxPath];
    if (count <= kMaxCrashDumps || oldest.cFileName[0] == '\0' ||
        !InFolder(oldest.cFileName, path) || !DeleteFileA(path)) {
      return;
    }
  }
}

// The dump's name and path for a report made now; false when there is no log to report in.
bool NameDump(char (&name)[64], char (&path)[kMaxPath]) {
  return g_prepared.logger != nullptr &&
         FormatCrashDumpName(SystemLogTime(), GetCurrentProcessId(), name, sizeof name) != 0 &&
         InFolder(name, path);
}

void ReportCrash() {
  if (g_prepared.logger == nullptr) return;
  const Report& report = g_prepared.report;
  char name[64];
  char path[kMaxPath];
  const bool named = NameDump(name, path);
  WriteLine(report, named ? name : nullptr);
  if (named && WriteDump(path, &report)) PruneDumps(name);
}

// A slow engine call is reported and the host goes on; a shutdown that did not finish in time
// is reported and the process ends, without the engine's detach code (it may be what is stuck).
void ReportHang(const HangReport& hang) {
  char name[64];
  char path[kMaxPath];
  if (NameDump(name, path)) {
    FixedText line;
    line.Append("[HangWatchdog] ");
    char text[Logger::kMaxTryWriteMessage];
    const bool dumped = WriteDump(path, nullptr);
    if (dumped) PruneDumps(name);
    line.Append(
        std::string_view(text, FormatHangReport(hang, dumped ? name : nullptr, text, sizeof text)));
    g_prepared.logger->TryWrite(line.View(), kLogLockWait);
  }
  if (hang.kind == HangReport::Kind::kShutdownHung) EndProcess(LarkProtocol::kHostHungExitCode);
}

// Sleeps until a crash wakes it, and meanwhile asks the hang watchdog, if any, what is due.
// Given the wake-up event, which g_prepared holds only once this thread has been created.
DWORD WINAPI Watch(void* wake) {
  LarkSync::ReserveStackForCrashReports();
  const DWORD period = g_prepared.watchdog != nullptr ? kWatchPeriodMs : INFINITE;
  for (;;) {
    const DWORD woken = WaitForSingleObject(static_cast<HANDLE>(wake), period);
    if (woken == WAIT_OBJECT_0) break;
    if (woken != WAIT_TIMEOUT) return 0;
    if (const std::optional<HangReport> hang =
            g_prepared.watchdog->Check(std::chrono::steady_clock::now())) {
      ReportHang(*hang);
    }
  }
  ReportCrash();
  SetEvent(g_prepared.done);
  return 0;
}

template <std::size_t N>
bool CopyText(std::string_view text, char (&out)[N]) {
  if (text.size() >= N) return false;
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return true;
}

// The paths of the report and the means to write a dump, when logging is on. Without any of
// them nothing is written. The dump writer is loaded now, by full path (the host's own folder,
// searched first, could hold anything): at a crash under the loader's lock it could not be.
void PrepareReport(Logger& logger) {
  Prepared& prepared = g_prepared;
  const std::string folder = LogDirectoryFile(logger.Directory(), "");
  const std::string pattern =
      folder + std::string(kCrashDumpPrefix) + "*" + std::string(kCrashDumpExtension);
  wchar_t dbghelp[MAX_PATH];
  const UINT system = GetSystemDirectoryW(dbghelp, MAX_PATH);
  constexpr std::wstring_view kDbghelp = L"\\dbghelp.dll";
  const UINT windows = GetSystemWindowsDirectoryW(prepared.windows, MAX_PATH);
  if (!CopyText(folder, prepared.folder) || !CopyText(pattern, prepared.dumpPattern) ||
      system == 0 || system + kDbghelp.size() >= MAX_PATH || windows == 0 || windows >= MAX_PATH) {
    return;
  }
  dbghelp[kDbghelp.copy(dbghelp + system, kDbghelp.size()) + system] = L'\0';
  prepared.windowsLength = static_cast<int>(windows);
  // Loaded for the life of the process.
  if (HMODULE module = LoadLibraryExW(dbghelp, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
    prepared.writeDump = reinterpret_cast<decltype(&MiniDumpWriteDump)>(
        reinterpret_cast<void*>(GetProcAddress(module, "MiniDumpWriteDump")));
  }
  prepared.logger = &logger;
}

// The thread that writes crash reports and watches for hangs. Without it, crashes only end the
// process and nothing watches for hangs. (What was created by then stays: once at start-up, and
// the process is not going far.)
void StartWatcher() {
  Prepared& prepared = g_prepared;
  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  prepared.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (wake == nullptr || prepared.done == nullptr) return;
  prepared.watcher = CreateThread(nullptr, 0, Watch, wake, 0, &prepared.reporterId);
  if (prepared.watcher == nullptr) return;
  prepared.wake = wake;  // from now on a crash waits for the report
}

}  // namespace

void InstallCrashHandler(HangWatchdog* watchdog) {
  LarkSync::ReserveStackForCrashReports();  // the main thread's
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  // abort() and the runtime's other fatal errors write to the standard error a hidden host does
  // not have, instead of putting up a message box before our handler runs.
  _set_error_mode(_OUT_TO_STDERR);
#if defined(_MSC_VER) || defined(_UCRT)
  // Reporting the fault itself would end the process before the SIGABRT handler is called.
  _set_abort_behavior(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT);
#endif
  try {
    Logger* logger = Logger::Instance();
    if (logger->Enabled()) PrepareReport(*logger);
  } catch (...) {
    // No logger, no report: crashes still end the process with their code.
  }
  g_prepared.watchdog = watchdog;
  if (g_prepared.logger != nullptr || watchdog != nullptr) StartWatcher();
  SetUnhandledExceptionFilter(OnUnhandledException);
  std::set_terminate(OnTerminate);
  std::signal(SIGABRT, OnAbort);
  _set_invalid_parameter_handler(OnInvalidParameter);
  _set_purecall_handler(OnPureCall);
}

}  // namespace LarkHost
