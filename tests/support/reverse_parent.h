#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "rpc/pipe_thread.h"
#include "rpc/wire.h"
#include "support/test_pipe.h"

namespace lark::test {

// The parent's side of the reverse pipes: reads the host's requests on a thread of its own and
// answers each as the test says (nullopt: stay silent).
class ReverseParent {
 public:
  using Answer = std::function<std::optional<AnonRpc::Response>(const AnonRpc::Request&)>;

  explicit ReverseParent(Answer answer = Echo()) : answer_(std::move(answer)) {
    reader_.Start([this] {
      while (std::optional<AnonRpc::Request> request = AnonRpc::ReadRequest(requests_.read())) {
        {
          std::lock_guard lock(mutex_);
          received_.push_back(*request);
          changed_.notify_all();
        }
        // Recorded first: a test that waits for the request can act while its answer is made.
        std::optional<AnonRpc::Response> response = answer_(*request);
        if (response)
          SendRaw(AnonRpc::EncodeResponse(
              response->id, static_cast<AnonRpc::RpcStatus>(response->status), response->body));
      }
    });
  }
  ~ReverseParent() { reader_.Join(std::chrono::milliseconds::zero()); }

  // Answers each request with status 0 and its payload.
  static Answer Echo() {
    return [](const AnonRpc::Request& r) { return AnonRpc::Response{r.id, 0, r.payload}; };
  }
  static Answer Silent() {
    return [](const AnonRpc::Request&) { return std::optional<AnonRpc::Response>(); };
  }

  // The host's ends, for the caller under test to own.
  AnonRpc::UniquePipe TakeHostRequestWrite() { return requests_.TakeWrite(); }
  AnonRpc::UniquePipe TakeHostResponseRead() { return responses_.TakeRead(); }

  void SendRaw(std::string_view bytes) {
    std::lock_guard lock(writeMutex_);
    EXPECT_TRUE(AnonRpc::WriteAll(responses_.write(), bytes));
  }
  void CloseResponses() {
    std::lock_guard lock(writeMutex_);
    responses_.CloseWrite();
  }

  // Waits until at least n requests have arrived and returns them.
  std::vector<AnonRpc::Request> WaitForRequests(std::size_t n) {
    std::unique_lock lock(mutex_);
    EXPECT_TRUE(
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return received_.size() >= n; }))
        << "waited for " << n << " requests, got " << received_.size();
    return received_;
  }

 private:
  Answer answer_;
  TestPipe requests_;   // host writes, parent reads
  TestPipe responses_;  // parent writes, host reads
  std::mutex writeMutex_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<AnonRpc::Request> received_;
  AnonRpc::PipeThread reader_;  // last: joined before the pipes close
};

}  // namespace lark::test
