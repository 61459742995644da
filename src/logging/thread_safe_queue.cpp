#include "logging/thread_safe_queue.h"

#include <thread>

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

bool TThreadSafeQueue::Enqueue(std::unique_ptr<TLogItem> item, const std::function<bool()>& give_up) {
  if (IsShutDown()) return false;
  for (int attempt = 0; attempt < kEnqueueAttempts; ++attempt) {
    if (attempt == 0) {
      std::this_thread::yield();
    } else {
      BackOff(std::chrono::milliseconds(10LL * attempt * attempt * attempt), give_up);
      if (IsShutDown() || (give_up && give_up())) return false;
    }
    std::lock_guard lock(critical_section_);
    if (queue_.size() < max_size_) {
      queue_.push_back(std::move(item));
      event_.SetEvent();
      return true;
    }
  }
  return false;
}

TWaitResult TThreadSafeQueue::Dequeue(std::uint64_t& queue_size, std::unique_ptr<TLogItem>& item) {
  item.reset();
  if (IsShutDown()) return TWaitResult::wrAbandoned;
  const TWaitResult waited = event_.WaitFor(pop_timeout_);
  if (waited != TWaitResult::wrSignaled) return waited;
  if (IsShutDown()) return TWaitResult::wrAbandoned;
  std::lock_guard lock(critical_section_);
  queue_size = queue_.size();
  if (!queue_.empty()) {
    item = std::move(queue_.front());
    queue_.pop_front();
    return TWaitResult::wrSignaled;
  }
  event_.ResetEvent();
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

std::uint64_t TThreadSafeQueue::QueueSize() {
  std::lock_guard lock(critical_section_);
  return queue_.size();
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
  }
  event_.SetEvent();  // a waiting Dequeue returns wrAbandoned at once
}

}  // namespace ostrivan::logging
