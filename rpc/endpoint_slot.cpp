#include "rpc/endpoint_slot.h"

#include <utility>

namespace AnonRpc {

EndpointSlot::Lease::Lease(Lease&& other) noexcept
    : slot_(std::exchange(other.slot_, nullptr)),
      endpoint_(std::exchange(other.endpoint_, nullptr)) {}

EndpointSlot::Lease::~Lease() {
  if (slot_ != nullptr) slot_->Release();
}

void EndpointSlot::Publish(RpcEndpoint* endpoint) {
  LarkSync::MutexLock lock(mutex_);
  endpoint_ = endpoint;
}

EndpointSlot::Lease EndpointSlot::Acquire() {
  LarkSync::MutexLock lock(mutex_);
  if (endpoint_ == nullptr) return {};
  ++leases_;
  return Lease(this, endpoint_);
}

RpcEndpoint* EndpointSlot::Clear() {
  LarkSync::MutexLock lock(mutex_);
  return std::exchange(endpoint_, nullptr);
}

void EndpointSlot::WaitForReaders() {
  LarkSync::MutexLock lock(mutex_);
  released_.wait(lock, [this]() LARK_REQUIRES(mutex_) { return leases_ == 0; });
}

void EndpointSlot::Release() {
  LarkSync::MutexLock lock(mutex_);
  if (--leases_ == 0) released_.notify_all();
}

}  // namespace AnonRpc
