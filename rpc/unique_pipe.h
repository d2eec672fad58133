#pragma once

#include <utility>

#include "rpc/pipe_io.h"

namespace AnonRpc {

// One pipe end, owned: closed when the object is destroyed or reset. Move-only, so a component
// that takes ownership takes it by value and the transfer shows at the call site. Closing keeps
// the caller's last system error. Not one of win/'s owning types: those are Windows-only, this
// is portable, and a pipe has two "no handle" values.
class UniquePipe {
 public:
  UniquePipe() = default;
  explicit UniquePipe(PipeHandle handle) : handle_(handle) {}
  ~UniquePipe() { Reset(); }
  UniquePipe(UniquePipe&& other) noexcept : handle_(other.Release()) {}
  UniquePipe& operator=(UniquePipe&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniquePipe(const UniquePipe&) = delete;
  UniquePipe& operator=(const UniquePipe&) = delete;

  PipeHandle Get() const { return handle_; }
  bool IsValid() const { return IsValidPipe(handle_); }

  // Closes what is held (if valid) and holds `handle` instead.
  void Reset(PipeHandle handle = kInvalidPipe) { PipeClose(std::exchange(handle_, handle)); }
  // Lets go without closing; the caller owns the handle now.
  [[nodiscard]] PipeHandle Release() { return std::exchange(handle_, kInvalidPipe); }

 private:
  PipeHandle handle_ = kInvalidPipe;
};

// CreatePipePair and DuplicatePipe for owned ends; on failure the outputs are left as they were.
inline bool CreatePipePair(UniquePipe* readEnd, UniquePipe* writeEnd,
                           std::uint32_t bufferSize = 0) {
  PipeHandle read = kInvalidPipe;
  PipeHandle write = kInvalidPipe;
  if (!CreatePipePair(&read, &write, bufferSize)) return false;
  readEnd->Reset(read);
  writeEnd->Reset(write);
  return true;
}

inline bool DuplicatePipe(const UniquePipe& end, UniquePipe* duplicate) {
  PipeHandle copy = kInvalidPipe;
  if (!DuplicatePipe(end.Get(), &copy)) return false;
  duplicate->Reset(copy);
  return true;
}

}  // namespace AnonRpc
