#pragma once

// Owning types for Win32 resources, in the manner of WIL's unique_handle and Chromium's
// ScopedHandle: move-only, Get, Reset, and a [[nodiscard]] Release. Each frees what it holds when
// destroyed or reset, and keeps the caller's last error while doing so. windows.h stays out: the
// handle types are spelled as windows.h declares them.

#include <cstdint>
#include <utility>

struct HINSTANCE__;
struct HWND__;

namespace LarkWin {

template <typename T>
T NullValue() {
  return nullptr;
}

// INVALID_HANDLE_VALUE, which windows.h defines as the handle whose bits are all ones.
inline void* InvalidHandleValue() {
  return reinterpret_cast<void*>(~std::uintptr_t{0});
}

// Holds a T, or `Empty()` when it holds nothing; frees it with `Free`.
template <typename T, void (*Free)(T), T (*Empty)() = NullValue<T>>
class UniqueResource {
 public:
  UniqueResource() = default;
  explicit UniqueResource(T value) : value_(value) {}
  ~UniqueResource() { Reset(); }
  UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  T Get() const { return value_; }
  explicit operator bool() const { return value_ != Empty(); }

  // Frees what is held (if anything) and holds `value` instead.
  void Reset(T value = Empty()) {
    const T old = std::exchange(value_, value);
    if (old != Empty()) Free(old);
  }
  // Lets go without freeing; the caller owns it now.
  [[nodiscard]] T Release() { return std::exchange(value_, Empty()); }

 private:
  T value_ = Empty();
};

void CloseHandleKeepingError(void* handle);
void FindCloseKeepingError(void* find);
void FreeLibraryKeepingError(HINSTANCE__* module);
void DestroyWindowKeepingError(HWND__* window);

// A kernel object handle whose empty value is null: a process, a thread, a mutex, an event.
using UniqueHandle = UniqueResource<void*, CloseHandleKeepingError>;
// A handle whose empty value is INVALID_HANDLE_VALUE, as CreateFile and CreateToolhelp32Snapshot
// fail with it: a file, a snapshot.
using UniqueFile = UniqueResource<void*, CloseHandleKeepingError, InvalidHandleValue>;
// A search that FindFirstFile began, ended with FindClose; empty: INVALID_HANDLE_VALUE.
using UniqueFind = UniqueResource<void*, FindCloseKeepingError, InvalidHandleValue>;
// A loaded library, freed with FreeLibrary.
using UniqueModule = UniqueResource<HINSTANCE__*, FreeLibraryKeepingError>;
// A window, destroyed with DestroyWindow; only on the thread that created it.
using UniqueWindow = UniqueResource<HWND__*, DestroyWindowKeepingError>;

}  // namespace LarkWin
