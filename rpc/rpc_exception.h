#pragma once

#include <stdexcept>
#include <string>

namespace AnonRpc {

// Every failure of a call to the parent. Catching RpcException catches time-outs too.
class RpcException : public std::runtime_error {
 public:
  explicit RpcException(const std::string& message) : std::runtime_error(message) {}
};

class RpcTimeoutException : public RpcException {
 public:
  explicit RpcTimeoutException(const std::string& message) : RpcException(message) {}
};

}  // namespace AnonRpc
