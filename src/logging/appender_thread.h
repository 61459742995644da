#pragma once
// The thread in front of one appender: a small state machine that sets the appender up,
// feeds it items and parks it when it fails. While Running it takes whatever has piled
// up in the queue (up to kWriteBatch items), hands the items to the appender one by one
// and flushes once, before it waits again: under load a batch of lines costs one
// write, and a lone line still reaches its file at once.
//   Setting up --Setup ok--> Running --WriteLog fails--> Failing --5 s--> Restarting
//   Restarting --TryToRestart true--> Running, false --> Failing
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "logging/log_appender.h"
#include "logging/thread_safe_queue.h"

namespace ostrivan::logging {

// Most items taken off an appender's queue at once.
inline constexpr std::size_t kWriteBatch = 1024;

enum class TAppenderThreadState { SettingUp, Running, Failing, Restarting };

struct TAppenderThreadTimings {
  int setup_attempts = 11;  // the first call and ten retries
  std::chrono::milliseconds setup_retry_delay{1000};
  std::chrono::milliseconds failing_poll{500};
  std::chrono::milliseconds restart_after{5000};
};

class TAppenderThread {
 public:
  // Starts running at once. The queue must outlive the thread.
  TAppenderThread(std::shared_ptr<ILogAppender> log_appender, TAppenderQueue& appender_queue,
                  TAppenderThreadTimings timings = {});
  ~TAppenderThread();
  TAppenderThread(const TAppenderThread&) = delete;
  TAppenderThread& operator=(const TAppenderThread&) = delete;

  // The thread writes what is still queued, then tears the appender down and ends;
  // a Failing appender ends at once.
  void Terminate();
  void WaitFor();
  TAppenderThreadState State() const noexcept { return state_.load(std::memory_order_acquire); }
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }

 private:
  void Execute();
  void Step();
  void Pause(std::chrono::milliseconds delay);
  void SetState(TAppenderThreadState state) { state_.store(state, std::memory_order_release); }
  void WriteBatch();

  std::shared_ptr<ILogAppender> log_appender_;
  TAppenderQueue& appender_queue_;
  TAppenderThreadTimings timings_;
  std::atomic<TAppenderThreadState> state_{TAppenderThreadState::SettingUp};
  std::atomic<bool> terminated_{false};
  int setup_failures_ = 0;
  // Items taken off the queue together and written with one flush at the end.
  TLogItems batch_;
  // Items of the batch whose writer waits for them, until the flush.
  TLogItems awaited_;
  std::mutex pause_mutex_;
  std::condition_variable pause_cv_;
  std::thread thread_;
};

}  // namespace ostrivan::logging
