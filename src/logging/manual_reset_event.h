#pragma once
// An event that stays set until reset, waking every waiter while set.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace ostrivan::logging {

enum class TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

class TManualResetEvent {
 public:
  void SetEvent() {
    {
      std::lock_guard lock(mutex_);
      if (set_) return;
      set_ = true;
    }
    cv_.notify_all();
  }
  void ResetEvent() {
    std::lock_guard lock(mutex_);
    set_ = false;
  }
  TWaitResult WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return set_; }) ? TWaitResult::wrSignaled : TWaitResult::wrTimeout;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace ostrivan::logging
