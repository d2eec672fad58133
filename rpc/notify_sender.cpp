#include "rpc/notify_sender.h"

#include <vector>

#include "logging/log.h"
#include "rpc/wire.h"

namespace AnonRpc {

using LarkLogging::LogLine;

namespace {

// The writer re-checks the running flag at least this often, even without a wake-up.
constexpr std::chrono::milliseconds kIdleWait{200};

// Time a write in progress gets to finish at Stop before it is cancelled.
constexpr std::chrono::milliseconds kStopGrace{1000};

// One WriteFile for the whole buffer: a short or failed write fails the frame.
bool WriteOnce(PipeHandle handle, const void* data, std::size_t length) {
  std::uint32_t written = 0;
  return PipeWrite(handle, data, static_cast<std::uint32_t>(length), &written) && written == length;
}

std::size_t Size(const std::pair<std::string, std::string>& entry) {
  return entry.first.size() + entry.second.size();
}

}  // namespace

NotifySender::NotifySender(UniquePipe ntyWrite, std::function<void()> onPipeBroken)
    : ntyWrite_(std::move(ntyWrite)), onPipeBroken_(std::move(onPipeBroken)) {}

NotifySender::~NotifySender() {
  Stop();
}

bool NotifySender::Enqueue(const std::string& type, const std::string& payload) {
  if (type.empty()) return false;
  if (type.size() > kMaxFieldBytes || payload.size() > kMaxFieldBytes) {
    // The parent would refuse the frame and read nothing after it.
    const std::uint64_t total = dropped_.fetch_add(1) + 1;
    constexpr char kTooLarge[] = "NotifySender notification too large, dropped (type";
    if (type.size() > kMaxFieldBytes) {  // no event number: its size says enough
      LogLine("AnonRpc::NotifySender::Enqueue", kTooLarge, " of ", type.size(),
              " bytes, payload=", payload.size(), " bytes, total=", total, ")");
    } else {
      LogLine("AnonRpc::NotifySender::Enqueue", kTooLarge, "=", type, ", payload=", payload.size(),
              " bytes, total=", total, ")");
    }
    return false;
  }
  Entry entry(type, payload);  // copied before the lock is taken
  std::vector<std::string> droppedTypes;
  {
    LarkSync::MutexLock lock(queueLock_);
    queuedBytes_ += Size(entry);
    queue_.push_back(std::move(entry));
    while (queue_.size() > kQueueBound || (queuedBytes_ > kQueueByteBound && queue_.size() > 1)) {
      queuedBytes_ -= Size(queue_.front());
      droppedTypes.push_back(std::move(queue_.front().first));
      queue_.pop_front();
    }
  }
  queueSignal_.notify_one();
  for (const std::string& droppedType : droppedTypes) {
    const std::uint64_t total = dropped_.fetch_add(1) + 1;
    LogLine("AnonRpc::NotifySender::Enqueue",
            "NotifySender queue overflow, dropped oldest (type=", droppedType, ", total=", total,
            ")");
  }
  return true;
}

void NotifySender::Start() {
  if (running_.exchange(true)) return;
  try {
    writer_.Start([this] { WriteQueued(); });
  } catch (...) {
    running_.store(false);
    throw;
  }
}

void NotifySender::Stop() {
  if (!running_.exchange(false)) return;
  {
    LarkSync::MutexLock lock(queueLock_);
    queue_.clear();
    queuedBytes_ = 0;
  }
  queueSignal_.notify_all();
  writer_.Join(kStopGrace);
  ntyWrite_.Reset();
  if (const std::uint64_t dropped = dropped_.load(); dropped != 0)
    LogLine("AnonRpc::NotifySender::Stop", "NotifySender total dropped during session: ", dropped);
}

std::size_t NotifySender::QueuedCount() {
  LarkSync::MutexLock lock(queueLock_);
  return queue_.size();
}

void NotifySender::WriteQueued() {
  while (running_.load()) {
    LarkSync::MutexLock lock(queueLock_);
    queueSignal_.wait_for(lock, kIdleWait, [this]() LARK_REQUIRES(queueLock_) {
      return !queue_.empty() || !running_.load();
    });
    if (!running_.load()) return;  // what is still queued is not written
    if (queue_.empty()) continue;
    queuedBytes_ -= Size(queue_.front());
    const Entry entry = std::move(queue_.front());
    queue_.pop_front();
    lock.Unlock();

    if (!WriteFrame(entry)) {
      if (running_.load() && onPipeBroken_) onPipeBroken_();
      return;
    }
  }
}

bool NotifySender::WriteFrame(const Entry& entry) {
  const auto& [type, payload] = entry;
  const NotifyHeaderBytes header =
      EncodeHeader(NotifyHeader{kNotifyMagic, static_cast<std::uint32_t>(type.size()),
                                static_cast<std::uint32_t>(payload.size())});
  if (!WriteOnce(ntyWrite_.Get(), header.data(), header.size())) return false;
  if (!type.empty() && !WriteOnce(ntyWrite_.Get(), type.data(), type.size())) return false;
  if (!payload.empty() && !WriteOnce(ntyWrite_.Get(), payload.data(), payload.size())) return false;
  PipeFlush(ntyWrite_.Get());  // may wait for the parent to read; its result does not matter
  return true;
}

}  // namespace AnonRpc
