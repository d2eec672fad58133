#pragma once

// Owning types for Win32 resources, in the manner of WIL's unique_handle and Chromium's
// ScopedHandle: move-only, Get, Reset, and a [[nodiscard]] Release. Each frees what it holds when
// destroyed or reset, and keeps the caller's last error while doing so. windows.h stays out: the
// handle types are spelled as windows.h declares them.

#include <utility>

struct HINSTANCE__;
struct HWND__;

namespace LarkWin {

template <typename T, void (*Free)(T)>
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
  explicit operator bool() const { return value_ != nullptr; }

  // Frees what is held (if anything) and holds `value` instead.
  void Reset(T value = nullptr) {
    if (T old = std::exchange(value_, value)) Free(old);
  }
  // Lets go without freeing; the caller owns it now.
  [[nodiscard]] T Release() { return std::exchange(value_, nullptr); }

 private:
  T value_ = nullptr;
};

void CloseHandleKeepingError(void* handle);
void FreeLibraryKeepingError(HINSTANCE__* module);
void DestroyWindowKeepingError(HWND__* window);

// A kernel object handle whose empty value is null: a process, a thread, a mutex, an event.
using UniqueHandle = UniqueResource<void*, CloseHandleKeepingError>;
// A loaded library, freed with FreeLibrary.
using UniqueModule = UniqueResource<HINSTANCE__*, FreeLibraryKeepingError>;
// A window, destroyed with DestroyWindow; only on the thread that created it.
using UniqueWindow = UniqueResource<HWND__*, DestroyWindowKeepingError>;

}  // namespace LarkWin
