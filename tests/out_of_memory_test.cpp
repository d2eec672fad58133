// Workers whose peer announces more than there is memory for: allocations above a size fail in
// this test binary (it replaces operator new), and no thread may take the process down.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <new>

#include "parent/host_connection.h"
#include "parent/pipe_set.h"
#include "protocol/lark_protocol.h"
#include "rpc/rpc_caller.h"
#include "support/host_connection_test_peer.h"
#include "support/reverse_parent.h"

#if defined(__GNUC__) && !defined(__clang__)
// GCC takes the free() in the replaced operator delete below for a mismatch with new.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<std::size_t> g_failAbove{std::numeric_limits<std::size_t>::max()};
std::atomic<std::size_t> g_largestRefused{0};

}  // namespace

void* operator new(std::size_t size) {
  if (size > g_failAbove.load()) {
    std::size_t largest = g_largestRefused.load();
    while (size > largest && !g_largestRefused.compare_exchange_weak(largest, size)) {
    }
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace AnonRpc {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kMiB = 1 << 20;

// Memory is short for the length of a test: nothing above 1 MiB can be had.
struct OutOfMemory : ::testing::Test {
  OutOfMemory() {
    g_largestRefused = 0;
    g_failAbove = kMiB;
  }
  ~OutOfMemory() override { g_failAbove = std::numeric_limits<std::size_t>::max(); }
};

std::string HeaderBytes(const FrameHeaderBytes& header) {
  return {reinterpret_cast<const char*>(header.data()), header.size()};
}

TEST_F(OutOfMemory, TheCallersReaderFailsPendingCallsAsABrokenPipe) {
  lark::test::ReverseParent parent(lark::test::ReverseParent::Silent());
  RpcCaller caller(parent.TakeHostRequestWrite(), parent.TakeHostResponseRead());
  caller.Start();
  std::future<std::string> pending = caller.CallAsync(LarkProtocol::kGetJwtMethod, "");
  parent.WaitForRequests(1);
  parent.SendRaw(HeaderBytes(EncodeHeader(ResponseHeader{kResponseMagic, 1, 0, kMaxFieldBytes})));
  try {
    pending.get();
    ADD_FAILURE() << "answered";
  } catch (const RpcException& error) {
    EXPECT_STREQ(error.what(), "Pipe broken");
  }
  EXPECT_GT(g_largestRefused.load(), kMiB);
  caller.Stop();
}

// A host announcing a body at the limit (no memory for it) and fields above it (never even
// allocated): each of the parent's readers ends as if the host had closed that pipe, closes its
// end of it, so the host's next write there fails instead of filling a pipe nobody reads, and
// says why.
TEST_F(OutOfMemory, TheParentKitsReadersEndAsIfTheHostHadClosed) {
  HostPipes host;
  LarkParent::ParentEnds ends;
  ASSERT_TRUE(LarkParent::CreatePipeSet(&host, &ends));
  LarkParent::HostConnection parent(std::move(ends));
  std::mutex mutex;
  std::map<LarkParent::Pipe, std::string> refusals;
  parent.OnRefusal([&](LarkParent::Pipe pipe, const std::string& reason) {
    std::lock_guard lock(mutex);
    refusals[pipe] = reason;
  });
  parent.Start();
  const auto send = [](const UniquePipe& pipe, const std::string& bytes) {
    EXPECT_TRUE(WriteAll(pipe.Get(), bytes));
  };
  const std::uint32_t huge = std::numeric_limits<std::uint32_t>::max();
  send(host.fwdResWrite,
       HeaderBytes(EncodeHeader(ResponseHeader{kResponseMagic, 1, 0, kMaxFieldBytes})));
  send(host.revReqWrite, HeaderBytes(EncodeHeader(RequestHeader{kRequestMagic, 1, 5, huge})));
  const NotifyHeaderBytes note = EncodeHeader(NotifyHeader{kNotifyMagic, huge, huge});
  send(host.ntyWrite, {reinterpret_cast<const char*>(note.data()), note.size()});
  EXPECT_TRUE(LarkParent::HostConnectionTestPeer(parent).WaitForHostEnds(30s));
  EXPECT_FALSE(
      parent.Call(LarkProtocol::kIsRunMethod, "", 30s).has_value());  // at once: no answer can come
  EXPECT_LE(g_largestRefused.load(), kMaxFieldBytes + std::size_t{64});
  for (const UniquePipe* end : {&host.fwdResWrite, &host.revReqWrite, &host.ntyWrite})
    EXPECT_FALSE(WriteAll(end->Get(), "more"));
  const std::string tooLarge = "a frame announcing a field above 4194304 bytes";
  std::lock_guard lock(mutex);
  EXPECT_EQ(refusals, (std::map<LarkParent::Pipe, std::string>{
                          {LarkParent::Pipe::Response, "a frame there is no memory for"},
                          {LarkParent::Pipe::ReverseRequest, tooLarge},
                          {LarkParent::Pipe::Notify, tooLarge}}));
  parent.Close();
}

}  // namespace
}  // namespace AnonRpc
