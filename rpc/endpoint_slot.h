#pragma once

#include <cstddef>

#include "sync/mutex.h"

namespace AnonRpc {

class RpcEndpoint;

// Where the running endpoint is published for threads the host does not own (the engine's
// callback threads, the heartbeat). A reader holds a Lease for as long as it uses the endpoint;
// the owner clears the slot, stops the endpoint (which releases every waiting call) and waits
// for the leases to end before it destroys it. So no reader ever uses a destroyed endpoint.
class EndpointSlot {
 public:
  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&&) = delete;
    ~Lease();
    explicit operator bool() const { return endpoint_ != nullptr; }
    RpcEndpoint* operator->() const { return endpoint_; }
    RpcEndpoint& operator*() const { return *endpoint_; }

   private:
    friend class EndpointSlot;
    Lease(EndpointSlot* slot, RpcEndpoint* endpoint) : slot_(slot), endpoint_(endpoint) {}
    EndpointSlot* slot_ = nullptr;
    RpcEndpoint* endpoint_ = nullptr;
  };

  void Publish(RpcEndpoint* endpoint);
  // An empty lease when nothing is published.
  Lease Acquire();
  // Unpublishes; later Acquire calls get an empty lease. Returns what was published.
  RpcEndpoint* Clear();
  // Blocks until every lease taken before Clear has ended.
  void WaitForReaders();

 private:
  void Release();

  LarkSync::Mutex mutex_;
  LarkSync::ConditionVariable released_;
  RpcEndpoint* endpoint_ LARK_GUARDED_BY(mutex_) = nullptr;
  std::size_t leases_ LARK_GUARDED_BY(mutex_) = 0;
};

}  // namespace AnonRpc
