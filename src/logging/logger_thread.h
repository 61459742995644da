#pragma once
// The thread that takes items off the main queue and hands a copy of each to every
// appender's own queue and thread. It moves items in batches, never more than every
// appender queue has room for, so a full appender queue still holds the thread on one
// item at a time with the queue's back-off, and the queues' bounds stay exact.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/appender_thread.h"
#include "logging/log_appender.h"
#include "logging/thread_safe_queue.h"

namespace ostrivan::logging {

inline constexpr std::uint64_t kDefaultMaxQueueSize = 50000;
inline constexpr std::uint64_t kMainQueuePopTimeoutMs = 500;
inline constexpr std::uint64_t kAppenderQueuePopTimeoutMs = 10;
// Most items moved from the main queue to the appender queues in one go.
inline constexpr std::size_t kTransferBatch = 1024;
// A batch below kSmallBatch items means the logger thread keeps up with its callers;
// it then pauses kGatherDelay before it looks again, so lines reach the appenders at
// most that much later and callers rarely have to wake it.
inline constexpr std::size_t kSmallBatch = 64;
inline constexpr std::chrono::microseconds kGatherDelay{200};

enum class TLogErrorReason { QueueFull };
// What to do when an appender's queue refused an item: nothing more, or drop the
// oldest queued item of that appender and queue the new one.
enum class TLogErrorAction { SkipNewLog, DiscardOlder };

struct TLogEventsHandler {
  std::function<void(const std::string& appender_class_name, const TLogItem& log_item, TLogErrorReason reason,
                     TLogErrorAction& action)>
      OnAppenderError;
};

// Appender list shared by a writer and its logger thread; the version tells the
// thread to bring its adapters in line after AddAppender/DelAppender.
struct TLogAppenderList {
  std::mutex mutex;
  std::vector<std::shared_ptr<ILogAppender>> appenders;
  std::atomic<std::uint64_t> version{0};
};

class TLoggerThread {
 public:
  class TAppenderAdapter {
   public:
    TAppenderAdapter(std::shared_ptr<ILogAppender> log_appender, TAppenderThreadTimings timings);
    // Lets the appender write everything already queued, then stops its thread.
    ~TAppenderAdapter();
    bool EnqueueLog(std::unique_ptr<TLogItem> log_item, const std::function<bool()>& give_up = {});
    ILogAppender& Appender() const noexcept { return *log_appender_; }
    const std::shared_ptr<ILogAppender>& AppenderPtr() const noexcept { return log_appender_; }
    TAppenderQueue& Queue() noexcept { return *appender_queue_; }
    TAppenderThread& Thread() noexcept { return *appender_thread_; }

   private:
    std::unique_ptr<TAppenderQueue> appender_queue_;
    std::unique_ptr<TAppenderThread> appender_thread_;
    std::shared_ptr<ILogAppender> log_appender_;
  };

  // Creates the main queue; the thread runs only after Start.
  TLoggerThread(std::shared_ptr<TLogAppenderList> appenders, TAppenderThreadTimings timings = {});
  ~TLoggerThread();
  TLoggerThread(const TLoggerThread&) = delete;
  TLoggerThread& operator=(const TLoggerThread&) = delete;

  void SetEventsHandler(std::shared_ptr<TLogEventsHandler> events_handler) {
    events_handler_ = std::move(events_handler);
  }
  void Start();
  // Honoured once the main queue is empty: every item queued before is handed on.
  void Terminate();
  void WaitFor();
  TThreadSafeQueue& LogQueue() noexcept { return *queue_; }

 private:
  void Execute();
  void SyncAdapters(std::vector<std::unique_ptr<TAppenderAdapter>>& adapters, std::uint64_t& seen_version);
  void Deliver(TAppenderAdapter& adapter, const TLogItem& item);
  // Hands every item of the batch to every adapter whose level it passes.
  void DeliverBatch(std::vector<std::unique_ptr<TAppenderAdapter>>& adapters, TLogItems& batch);

  std::unique_ptr<TThreadSafeQueue> queue_;
  std::shared_ptr<TLogAppenderList> appenders_;
  std::shared_ptr<TLogEventsHandler> events_handler_;
  TAppenderThreadTimings timings_;
  std::atomic<bool> terminated_{false};
  // Scratch lists of DeliverBatch, kept for their capacity.
  std::vector<TLogType> levels_;
  std::vector<std::size_t> last_taker_;
  TLogItems outgoing_;
  std::thread thread_;
};

}  // namespace ostrivan::logging
