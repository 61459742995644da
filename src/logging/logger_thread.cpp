#include "logging/logger_thread.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "logging/thread_heartbeat.h"

namespace ostrivan::logging {

TLoggerThread::TAppenderAdapter::TAppenderAdapter(std::shared_ptr<ILogAppender> log_appender,
                                                  TAppenderThreadTimings timings)
    : appender_queue_(std::make_unique<TAppenderQueue>(kDefaultMaxQueueSize, kAppenderQueuePopTimeoutMs)),
      log_appender_(std::move(log_appender)) {
  appender_thread_ = std::make_unique<TAppenderThread>(log_appender_, *appender_queue_, timings);
}

TLoggerThread::TAppenderAdapter::~TAppenderAdapter() {
  // Drain first, then shut the queue: lines logged before an orderly stop are written.
  // Only a Failing appender leaves items behind, and those could never be written.
  appender_thread_->Terminate();
  appender_thread_->WaitFor();
  appender_thread_.reset();
  appender_queue_->DoShutDown();
}

bool TLoggerThread::TAppenderAdapter::EnqueueLog(std::unique_ptr<TLogItem> log_item,
                                                 const std::function<bool()>& give_up) {
  return appender_queue_->Enqueue(std::move(log_item), give_up);
}

TLoggerThread::TLoggerThread(std::shared_ptr<TLogAppenderList> appenders, TAppenderThreadTimings timings)
    : queue_(std::make_unique<TThreadSafeQueue>(kDefaultMaxQueueSize, kMainQueuePopTimeoutMs)),
      appenders_(std::move(appenders)),
      timings_(timings) {}

TLoggerThread::~TLoggerThread() {
  Terminate();
  WaitFor();
}

void TLoggerThread::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
}

void TLoggerThread::Terminate() {
  terminated_.store(true, std::memory_order_release);
  queue_->WakeUp();
}

void TLoggerThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TLoggerThread::SyncAdapters(std::vector<std::unique_ptr<TAppenderAdapter>>& adapters,
                                 std::uint64_t& seen_version) {
  const std::uint64_t version = appenders_->version.load(std::memory_order_acquire);
  if (version == seen_version) return;
  std::vector<std::shared_ptr<ILogAppender>> wanted;
  {
    std::lock_guard lock(appenders_->mutex);
    wanted = appenders_->appenders;
  }
  seen_version = version;
  std::vector<std::unique_ptr<TAppenderAdapter>> next;
  next.reserve(wanted.size());
  for (const auto& appender : wanted) {
    auto it = std::find_if(adapters.begin(), adapters.end(),
                           [&](const auto& adapter) { return adapter && adapter->AppenderPtr() == appender; });
    if (it != adapters.end()) {
      next.push_back(std::move(*it));
    } else {
      next.push_back(std::make_unique<TAppenderAdapter>(appender, timings_));
    }
  }
  adapters.swap(next);  // adapters of removed appenders drain and stop as `next` goes
}

void TLoggerThread::Deliver(TAppenderAdapter& adapter, const TLogItem& item) {
  if (item.LogType() < adapter.Appender().GetLogLevel()) return;
  // At an orderly stop an appender that is not Running (failing, or still not set up)
  // will not make room in time; waiting out the back-off for it would only hold up the stop.
  auto give_up = [this, &adapter] {
    return terminated_.load(std::memory_order_acquire) && adapter.Thread().State() != TAppenderThreadState::Running;
  };
  if (adapter.EnqueueLog(item.Clone(), give_up)) return;
  if (!events_handler_ || !events_handler_->OnAppenderError) return;
  TLogErrorAction action = TLogErrorAction::SkipNewLog;
  try {
    events_handler_->OnAppenderError(adapter.Appender().ClassName(), item, TLogErrorReason::QueueFull, action);
  } catch (...) {
    return;  // the logger's own error hook failed: there is nothing left to log it to
  }
  if (action == TLogErrorAction::DiscardOlder) {
    adapter.Queue().Dequeue();
    adapter.EnqueueLog(item.Clone(), give_up);
  }
}

void TLoggerThread::DeliverBatch(std::vector<std::unique_ptr<TAppenderAdapter>>& adapters, TLogItems& batch) {
  // The last appender an item goes to gets the item itself; only the others need copies.
  constexpr std::size_t kNobody = static_cast<std::size_t>(-1);
  levels_.clear();
  for (auto& adapter : adapters) levels_.push_back(adapter->Appender().GetLogLevel());
  last_taker_.assign(batch.size(), kNobody);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    for (std::size_t a = levels_.size(); a-- > 0;) {
      if (batch[i]->LogType() >= levels_[a]) {
        last_taker_[i] = a;
        break;
      }
    }
  }
  for (std::size_t a = 0; a < adapters.size(); ++a) {
    TAppenderAdapter& adapter = *adapters[a];
    outgoing_.clear();
    for (std::size_t i = 0; i < batch.size(); ++i) {
      // Items whose last appender came earlier are gone from the batch already.
      if (last_taker_[i] == kNobody || last_taker_[i] < a || batch[i]->LogType() < levels_[a]) continue;
      outgoing_.push_back(last_taker_[i] == a ? std::move(batch[i]) : batch[i]->Clone());
    }
    std::size_t next = adapter.Queue().EnqueueBatch(outgoing_);
    // What did not fit goes the slow way, one item at a time with the back-off.
    for (; next < outgoing_.size(); ++next) Deliver(adapter, *outgoing_[next]);
  }
  outgoing_.clear();
}

void TLoggerThread::Execute() {
  std::vector<std::unique_ptr<TAppenderAdapter>> adapters;
  std::uint64_t seen_version = 0;
  TLogItems batch;
  TThreadHeartbeat heartbeat;
  {
    std::lock_guard lock(appenders_->mutex);
    for (const auto& appender : appenders_->appenders) {
      adapters.push_back(std::make_unique<TAppenderAdapter>(appender, timings_));
    }
    seen_version = appenders_->version.load(std::memory_order_acquire);
  }
  for (;;) {
    heartbeat.Beat();
    try {
      // Never take more than every appender queue can accept at once; with a full one
      // this is a single item, which then waits out the back-off.
      std::uint64_t room = kTransferBatch;
      for (auto& adapter : adapters) room = std::min(room, adapter->Queue().FreeSpace());
      batch.clear();
      const TWaitResult result =
          queue_->DequeueBatch(batch, static_cast<std::size_t>(std::max<std::uint64_t>(room, 1)));
      // Checked after the wait: an item logged after AddAppender/DelAppender returned
      // goes to the new list of appenders.
      if (appenders_->version.load(std::memory_order_acquire) != seen_version) SyncAdapters(adapters, seen_version);
      if (result == TWaitResult::wrSignaled && !batch.empty()) {
        const bool small = batch.size() < kSmallBatch;
        DeliverBatch(adapters, batch);
        // After a small batch the queue is about to run empty, and the next wait would
        // cost the next log call a wake-up system call. Letting lines gather first
        // turns one wake-up every few lines into a few thousand per second at most; a
        // lone line is already on its way and loses nothing.
        if (small && !terminated_.load(std::memory_order_acquire)) std::this_thread::sleep_for(kGatherDelay);
        continue;
      }
    } catch (...) {
      // An allocation failure on one item must not stop the logging of the next.
      continue;
    }
    // A wait can end empty-handed just before the last items and the termination
    // arrive together; the queue is looked at once more so that those items go out too.
    if (terminated_.load(std::memory_order_acquire) && queue_->QueueSize() == 0) break;
  }
  // In list order: each adapter drains its appender before the next one is stopped.
  for (auto& adapter : adapters) adapter.reset();
}

}  // namespace ostrivan::logging
