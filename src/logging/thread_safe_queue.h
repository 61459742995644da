#pragma once
// Bounded FIFO of log items between threads. A full queue makes Enqueue back off
// (yield, then 10*i^3 ms before attempt i, twenty attempts, 361 s in all) before it
// refuses; that back-off is the only way a log call ever waits.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "logging/log_item.h"
#include "logging/manual_reset_event.h"

namespace ostrivan::logging {

inline constexpr int kEnqueueAttempts = 20;

class TThreadSafeQueue {
 public:
  TThreadSafeQueue(std::uint64_t max_size, std::uint64_t pop_timeout_ms);
  virtual ~TThreadSafeQueue();
  TThreadSafeQueue(const TThreadSafeQueue&) = delete;
  TThreadSafeQueue& operator=(const TThreadSafeQueue&) = delete;

  // True when the item was accepted; a refused item is freed. give_up, when given, is
  // asked between back-off attempts and ends the back-off with a refusal.
  bool Enqueue(std::unique_ptr<TLogItem> item, const std::function<bool()>& give_up = {});

  TWaitResult Dequeue(std::uint64_t& queue_size, std::unique_ptr<TLogItem>& item);
  TWaitResult Dequeue(std::unique_ptr<TLogItem>& item);
  std::unique_ptr<TLogItem> Dequeue();

  std::uint64_t QueueSize();
  // Refuses everything from now on and frees the items still queued.
  void DoShutDown();
  bool IsShutDown() const noexcept { return shut_down_.load(std::memory_order_acquire); }
  // Ends a Dequeue wait early; the waiter finds the queue empty or takes an item.
  void WakeUp() { event_.SetEvent(); }

 private:
  // Sleeps for the back-off, waking early for a shutdown or when give_up says so.
  void BackOff(std::chrono::milliseconds delay, const std::function<bool()>& give_up);

  std::chrono::milliseconds pop_timeout_;
  std::deque<std::unique_ptr<TLogItem>> queue_;
  std::mutex critical_section_;
  TManualResetEvent event_;
  std::uint64_t max_size_;
  std::atomic<bool> shut_down_{false};
  std::mutex back_off_mutex_;
  std::condition_variable back_off_cv_;
};

// The queue in front of one appender.
class TAppenderQueue : public TThreadSafeQueue {
 public:
  using TThreadSafeQueue::TThreadSafeQueue;
};

}  // namespace ostrivan::logging
