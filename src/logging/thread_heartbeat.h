#pragma once
// Liveness of the logging threads. Each one beats once per turn of its loop; an idle
// thread still turns at least every second (its queue waits time out), so a thread that
// has not beaten for seconds is stuck: in a write that does not return, or on a lock.
// A service watchdog asks this before it tells the service manager all is well.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace ostrivan::logging {

// Registered for its lifetime; create it on the thread that beats.
class TThreadHeartbeat {
 public:
  TThreadHeartbeat();
  ~TThreadHeartbeat();
  TThreadHeartbeat(const TThreadHeartbeat&) = delete;
  TThreadHeartbeat& operator=(const TThreadHeartbeat&) = delete;

  void Beat() noexcept;
  // steady_clock ticks of the last beat.
  std::int64_t LastBeat() const noexcept { return last_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int64_t> last_;
};

// True when at least one logging thread runs and every running one has beaten within
// stall_limit.
bool LoggingThreadsAlive(std::chrono::milliseconds stall_limit);

}  // namespace ostrivan::logging
