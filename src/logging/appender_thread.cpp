#include "logging/appender_thread.h"

#include "logging/thread_heartbeat.h"

namespace ostrivan::logging {

TAppenderThread::TAppenderThread(std::shared_ptr<ILogAppender> log_appender, TAppenderQueue& appender_queue,
                                 TAppenderThreadTimings timings)
    : log_appender_(std::move(log_appender)), appender_queue_(appender_queue), timings_(timings) {
  thread_ = std::thread([this] { Execute(); });
}

TAppenderThread::~TAppenderThread() {
  Terminate();
  WaitFor();
}

void TAppenderThread::Terminate() {
  {
    std::lock_guard lock(pause_mutex_);
    terminated_.store(true, std::memory_order_release);
  }
  pause_cv_.notify_all();
  appender_queue_.WakeUp();
}

void TAppenderThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TAppenderThread::Pause(std::chrono::milliseconds delay) {
  std::unique_lock lock(pause_mutex_);
  pause_cv_.wait_for(lock, delay, [this] { return terminated_.load(std::memory_order_acquire); });
}

void TAppenderThread::Execute() {
  TThreadHeartbeat heartbeat;
  for (;;) {
    heartbeat.Beat();
    if (Terminated() && (State() == TAppenderThreadState::Failing || appender_queue_.QueueSize() == 0)) break;
    try {
      Step();
    } catch (...) {
      // A failure outside the guarded calls must not end the thread.
    }
  }
  try {
    log_appender_->TearDown();
  } catch (...) {
    // The appender failing to close is the log failing: there is nothing to log it to.
  }
}

void TAppenderThread::WriteBatch() {
  batch_.clear();
  awaited_.clear();
  // Held: the batch keeps its place in the queue's capacity until each item is written.
  if (appender_queue_.DequeueBatch(batch_, kWriteBatch, /*hold=*/true) != TWaitResult::wrSignaled) return;
  // Items someone waits for are kept until the flush has passed them on, then marked.
  auto mark_written = [this] {
    for (const auto& item : awaited_) item->Receipt()->MarkWritten();
    awaited_.clear();
  };
  for (std::size_t next = 0; next < batch_.size();) {
    std::unique_ptr<TLogItem> item = std::move(batch_[next++]);
    appender_queue_.Release(1);
    try {
      log_appender_->AppendLog(*item);
    } catch (...) {
      // The lines before the failing one were written as far as the appender goes; the
      // ones after it wait in the queue, as they would have without the batch.
      try {
        log_appender_->FlushLog();
        mark_written();
      } catch (...) {
        // Inside the appender: a failed flush has nowhere to be logged; the lines wait.
      }
      awaited_.clear();
      appender_queue_.PutBack(batch_, next);
      batch_.clear();
      log_appender_->SetLastErrorTimeStamp(LogTimeStampNow());
      SetState(TAppenderThreadState::Failing);
      return;
    }
    if (item->Receipt()) awaited_.push_back(std::move(item));
  }
  batch_.clear();
  try {
    log_appender_->FlushLog();
    mark_written();
  } catch (...) {
    awaited_.clear();
    log_appender_->SetLastErrorTimeStamp(LogTimeStampNow());
    SetState(TAppenderThreadState::Failing);
  }
}

void TAppenderThread::Step() {
  switch (State()) {
    case TAppenderThreadState::SettingUp:
      try {
        log_appender_->Setup();
        SetState(TAppenderThreadState::Running);
      } catch (...) {
        if (++setup_failures_ >= timings_.setup_attempts) {
          SetState(TAppenderThreadState::Failing);
        } else {
          Pause(timings_.setup_retry_delay);
        }
      }
      break;
    case TAppenderThreadState::Running: WriteBatch(); break;
    case TAppenderThreadState::Failing:
      Pause(timings_.failing_poll);
      if (LogTimeStampNow() - log_appender_->GetLastErrorTimeStamp() >= timings_.restart_after) {
        SetState(TAppenderThreadState::Restarting);
      }
      break;
    case TAppenderThreadState::Restarting:
      try {
        bool restarted = false;
        log_appender_->TryToRestart(restarted);
        if (restarted) {
          log_appender_->SetLastErrorTimeStamp(TLogTimeStamp{});
          SetState(TAppenderThreadState::Running);
        } else {
          log_appender_->SetLastErrorTimeStamp(LogTimeStampNow());
          SetState(TAppenderThreadState::Failing);
        }
      } catch (...) {
        // Stays Restarting; the pause keeps a restart that keeps throwing from spinning.
        Pause(timings_.failing_poll);
      }
      break;
  }
}

}  // namespace ostrivan::logging
