#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

#include "support/process_stats.h"
#include "win/unique_handle.h"

namespace lark::test {

namespace {

std::size_t ThreadsOf(DWORD processId) {
  const LarkWin::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  std::size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot.Get(), &entry); more;
       more = Thread32Next(snapshot.Get(), &entry)) {
    if (entry.th32OwnerProcessID == processId) ++count;
  }
  return count;
}

// The system's handle list (SystemExtendedHandleInformation), as ntdll returns it: the short
// form's 16-bit process ids would confuse processes on Windows.
struct HandleEntry {
  PVOID object;
  ULONG_PTR processId;
  ULONG_PTR handle;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG attributes;
  ULONG reserved;
};
struct HandleList {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};

std::size_t HandlesOf(DWORD processId) {
  using QueryFn = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 0;
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    ULONG needed = 0;
    const NTSTATUS status = query(kSystemExtendedHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) break;
    if (buffer.size() >= (std::size_t{1} << 28)) return 0;
    buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed));
  }
  const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
  std::size_t count = 0;
  for (ULONG_PTR i = 0; i < list->count; ++i)
    if (list->entries[i].processId == processId) ++count;
  return count;
}

}  // namespace

std::size_t ThreadCount() {
  return ThreadsOf(GetCurrentProcessId());
}

std::optional<ProcessFigures> FiguresOf(std::uint32_t processId) {
  const LarkWin::UniqueHandle process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  if (!process) return std::nullopt;
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof(memory);
  if (!K32GetProcessMemoryInfo(process.Get(), &memory, sizeof(memory))) return std::nullopt;
  return ProcessFigures{ThreadsOf(processId), HandlesOf(processId), memory.WorkingSetSize,
                        memory.PagefileUsage};
}

}  // namespace lark::test
