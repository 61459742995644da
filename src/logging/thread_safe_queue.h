#pragma once
// Bounded FIFO of log items between threads. A full queue makes Enqueue back off
// (10*i^3 ms before attempt i, twenty attempts, 361 s in all) before it refuses; that
// back-off is the only way a log call ever waits.
//
// One lock guards the list and the wake-up state. A reader waits on a condition that
// behaves as a manual-reset event: set by every Enqueue (and by WakeUp), reset by a
// Dequeue that finds the queue empty. Writers only signal when a reader is actually
// waiting, so a log call costs no system call while the reader is busy.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "logging/log_item.h"

namespace ostrivan::logging {

enum class TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

inline constexpr int kEnqueueAttempts = 20;

using TLogItems = std::vector<std::unique_ptr<TLogItem>>;

class TThreadSafeQueue {
 public:
  TThreadSafeQueue(std::uint64_t max_size, std::uint64_t pop_timeout_ms);
  virtual ~TThreadSafeQueue();
  TThreadSafeQueue(const TThreadSafeQueue&) = delete;
  TThreadSafeQueue& operator=(const TThreadSafeQueue&) = delete;

  // True when the item was accepted; a refused item is freed. give_up, when given, is
  // asked between back-off attempts and ends the back-off with a refusal.
  bool Enqueue(std::unique_ptr<TLogItem> item, const std::function<bool()>& give_up = {});
  // Accepts items[from...] in order for as long as there is room, under one lock and
  // without backing off; gives back the index of the first item not taken (items.size()
  // when all were). Taken slots are left empty.
  std::size_t EnqueueBatch(TLogItems& items, std::size_t from = 0);

  TWaitResult Dequeue(std::uint64_t& queue_size, std::unique_ptr<TLogItem>& item);
  TWaitResult Dequeue(std::unique_ptr<TLogItem>& item);
  std::unique_ptr<TLogItem> Dequeue();
  // Waits like Dequeue, then moves up to max_items of the oldest items to the end of
  // out in one go. With hold set, the moved items still count against the capacity
  // (and in QueueSize) until Release: a reader that works through a batch item by item
  // makes room one item at a time, exactly as if it took them one by one.
  TWaitResult DequeueBatch(TLogItems& out, std::size_t max_items, bool hold = false);
  // count items taken with hold are now in the reader's hands alone.
  void Release(std::uint64_t count) noexcept { held_.fetch_sub(count, std::memory_order_release); }
  // Gives held items[from...] back: they go to the front of the queue in their order,
  // to be taken again first.
  void PutBack(TLogItems& items, std::size_t from);

  // Items queued, including held ones.
  std::uint64_t QueueSize();
  // Room left before Enqueue has to back off.
  std::uint64_t FreeSpace();
  // Refuses everything from now on and frees the items still queued.
  void DoShutDown();
  bool IsShutDown() const noexcept { return shut_down_.load(std::memory_order_acquire); }
  // Ends a Dequeue wait early; the waiter finds the queue empty or takes an item.
  void WakeUp();
  // Readers asleep in Dequeue or DequeueBatch right now: lets a caller know a reader has
  // really gone to sleep before it acts.
  int WaitingReaders();

 private:
  // Sleeps for the back-off, waking early for a shutdown or when give_up says so.
  void BackOff(std::chrono::milliseconds delay, const std::function<bool()>& give_up);
  // With the lock held: waits until the event is set, the queue shut down or the pop
  // time-out over.
  TWaitResult WaitForItems(std::unique_lock<std::mutex>& lock);
  std::uint64_t CountLocked() const noexcept { return queue_.size() + held_.load(std::memory_order_acquire); }
  // With the lock held: marks the event set; true when a waiting reader needs a wake-up.
  bool SignalLocked() noexcept;

  std::chrono::milliseconds pop_timeout_;
  std::deque<std::unique_ptr<TLogItem>> queue_;
  std::mutex critical_section_;
  std::condition_variable event_cv_;
  bool event_set_ = false;  // the manual-reset event, guarded by critical_section_
  int waiting_readers_ = 0;
  bool wake_sent_ = false;  // one wake-up per wait is enough
  std::atomic<std::uint64_t> held_{0};
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
