#include "logging/thread_safe_queue.h"

#include <algorithm>

namespace ostrivan::logging {

TThreadSafeQueue::TThreadSafeQueue(std::uint64_t max_size, std::uint64_t pop_timeout_ms)
    : pop_timeout_(static_cast<std::chrono::milliseconds::rep>(pop_timeout_ms)), max_size_(max_size) {}

TThreadSafeQueue::~TThreadSafeQueue() { DoShutDown(); }

void TThreadSafeQueue::BackOff(std::chrono::milliseconds delay, const std::function<bool()>& give_up) {
  // Sliced so that a give_up condition is noticed within a short while.
  constexpr std::chrono::milliseconds kSlice{50};
  const auto until = std::chrono::steady_clock::now() + delay;
  std::unique_lock lock(back_off_mutex_);
  while (!IsShutDown() && !(give_up && give_up())) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return;
    back_off_cv_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(until - now, kSlice));
  }
}

bool TThreadSafeQueue::SignalLocked() noexcept {
  event_set_ = true;
  if (waiting_readers_ == 0 || wake_sent_) return false;
  wake_sent_ = true;
  return true;
}

bool TThreadSafeQueue::Enqueue(std::unique_ptr<TLogItem> item, const std::function<bool()>& give_up) {
  if (IsShutDown()) return false;
  for (int attempt = 0; attempt < kEnqueueAttempts; ++attempt) {
    // Attempt 0 goes straight for the lock: a yield there would cost every log call a
    // trip through the scheduler and helps nobody when the queue has room.
    if (attempt > 0) {
      BackOff(std::chrono::milliseconds(10LL * attempt * attempt * attempt), give_up);
      if (IsShutDown() || (give_up && give_up())) return false;
    }
    std::lock_guard lock(critical_section_);
    if (IsShutDown()) return false;
    if (CountLocked() < max_size_) {
      queue_.push_back(std::move(item));
      // Notified under the lock: the queue may be gone as soon as it is released.
      if (SignalLocked()) event_cv_.notify_all();
      return true;
    }
  }
  return false;
}

std::size_t TThreadSafeQueue::EnqueueBatch(TLogItems& items, std::size_t from) {
  if (IsShutDown() || from >= items.size()) return from;
  std::lock_guard lock(critical_section_);
  if (IsShutDown()) return from;
  const std::uint64_t count = CountLocked();
  const std::uint64_t room = max_size_ > count ? max_size_ - count : 0;
  const std::size_t end = from + static_cast<std::size_t>(std::min<std::uint64_t>(room, items.size() - from));
  for (std::size_t i = from; i < end; ++i) queue_.push_back(std::move(items[i]));
  if (end > from && SignalLocked()) event_cv_.notify_all();
  return end;
}

TWaitResult TThreadSafeQueue::WaitForItems(std::unique_lock<std::mutex>& lock) {
  if (event_set_ || IsShutDown()) return TWaitResult::wrSignaled;
  ++waiting_readers_;
  wake_sent_ = false;  // this wait needs a wake-up of its own
  const bool signalled = event_cv_.wait_for(lock, pop_timeout_, [this] { return event_set_ || IsShutDown(); });
  --waiting_readers_;
  return signalled ? TWaitResult::wrSignaled : TWaitResult::wrTimeout;
}

TWaitResult TThreadSafeQueue::Dequeue(std::uint64_t& queue_size, std::unique_ptr<TLogItem>& item) {
  item.reset();
  if (IsShutDown()) return TWaitResult::wrAbandoned;
  std::unique_lock lock(critical_section_);
  const TWaitResult waited = WaitForItems(lock);
  if (waited != TWaitResult::wrSignaled) return waited;
  if (IsShutDown()) return TWaitResult::wrAbandoned;
  queue_size = CountLocked();
  if (!queue_.empty()) {
    item = std::move(queue_.front());
    queue_.pop_front();
    return TWaitResult::wrSignaled;
  }
  event_set_ = false;
  return TWaitResult::wrTimeout;
}

TWaitResult TThreadSafeQueue::Dequeue(std::unique_ptr<TLogItem>& item) {
  std::uint64_t size = 0;
  return Dequeue(size, item);
}

std::unique_ptr<TLogItem> TThreadSafeQueue::Dequeue() {
  std::unique_ptr<TLogItem> item;
  Dequeue(item);
  return item;
}

TWaitResult TThreadSafeQueue::DequeueBatch(TLogItems& out, std::size_t max_items, bool hold) {
  if (IsShutDown()) return TWaitResult::wrAbandoned;
  std::unique_lock lock(critical_section_);
  const TWaitResult waited = WaitForItems(lock);
  if (waited != TWaitResult::wrSignaled) return waited;
  if (IsShutDown()) return TWaitResult::wrAbandoned;
  if (queue_.empty()) {
    event_set_ = false;
    return TWaitResult::wrTimeout;
  }
  const std::size_t n = std::min(std::max<std::size_t>(max_items, 1), queue_.size());
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  if (hold) held_.fetch_add(n, std::memory_order_release);
  return TWaitResult::wrSignaled;
}

void TThreadSafeQueue::PutBack(TLogItems& items, std::size_t from) {
  if (from >= items.size()) return;
  std::lock_guard lock(critical_section_);
  const std::size_t count = items.size() - from;
  for (std::size_t i = items.size(); i > from; --i) queue_.push_front(std::move(items[i - 1]));
  held_.fetch_sub(count, std::memory_order_release);
  items.resize(from);
  if (SignalLocked()) event_cv_.notify_all();
}

std::uint64_t TThreadSafeQueue::QueueSize() {
  std::lock_guard lock(critical_section_);
  return CountLocked();
}

std::uint64_t TThreadSafeQueue::FreeSpace() {
  std::lock_guard lock(critical_section_);
  const std::uint64_t count = CountLocked();
  return max_size_ > count ? max_size_ - count : 0;
}

int TThreadSafeQueue::WaitingReaders() {
  std::lock_guard lock(critical_section_);
  return waiting_readers_;
}

void TThreadSafeQueue::WakeUp() {
  std::lock_guard lock(critical_section_);
  event_set_ = true;
  event_cv_.notify_all();
}

void TThreadSafeQueue::DoShutDown() {
  {
    std::lock_guard lock(back_off_mutex_);
    shut_down_.store(true, std::memory_order_release);
  }
  back_off_cv_.notify_all();
  std::deque<std::unique_ptr<TLogItem>> discarded;
  {
    std::lock_guard lock(critical_section_);
    discarded.swap(queue_);
    event_set_ = true;  // a waiting Dequeue returns wrAbandoned at once
    event_cv_.notify_all();
  }
}

}  // namespace ostrivan::logging
