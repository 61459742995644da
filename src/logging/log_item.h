#pragma once
// Log levels and the item that travels from a log call to every appender.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace ostrivan::logging {

// Order matters: a filter passes an item whose level is >= the filter's level.
enum class TLogType : std::uint8_t { Debug = 0, Info = 1, Warning = 2, Error = 3 };

// "DEBUG", "INFO", "WARNING", "ERROR".
const char* LogTypeToString(TLogType type) noexcept;

// Local wall-clock moment with millisecond resolution; converted to local calendar
// time only when a line is formatted, so a log call stays cheap.
using TLogTimeStamp = std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;

TLogTimeStamp LogTimeStampNow() noexcept;

// Kernel id of the calling thread (cached per thread).
std::uint32_t CurrentThreadID() noexcept;

// Lets a caller wait until its line is in the file, not only queued. The item and every
// copy made for an appender carry one receipt; an appender thread marks it once the line
// is written to its destination. When the last copy is gone (written or dropped) the
// waiter learns whether it was written.
class TLogWriteReceipt {
 public:
  TLogWriteReceipt();
  ~TLogWriteReceipt();
  TLogWriteReceipt(const TLogWriteReceipt&) = delete;
  TLogWriteReceipt& operator=(const TLogWriteReceipt&) = delete;
  void MarkWritten() noexcept { written_.store(true, std::memory_order_release); }

  // What the waiter keeps; it outlives the receipt.
  class TWaiter {
   public:
    // true once every copy is gone and one of them was written; false when the time
    // ran out first (the line may still come later) or nobody wrote it.
    bool Wait(std::chrono::steady_clock::time_point deadline);

   private:
    friend class TLogWriteReceipt;
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    bool written_ = false;
  };
  const std::shared_ptr<TWaiter>& Waiter() const noexcept { return waiter_; }

 private:
  std::atomic<bool> written_{false};
  std::shared_ptr<TWaiter> waiter_;
};

class TLogItem {
 public:
  // Stamps the current time and the calling thread's id.
  TLogItem(TLogType type, std::string message, std::string tag);
  TLogItem(TLogType type, std::string message, std::string tag, TLogTimeStamp time_stamp, std::uint32_t thread_id);

  // A copy that carries the same receipt.
  std::unique_ptr<TLogItem> Clone() const;

  TLogType LogType() const noexcept { return type_; }
  const std::string& LogMessage() const noexcept { return message_; }
  const std::string& LogTag() const noexcept { return tag_; }
  TLogTimeStamp TimeStamp() const noexcept { return time_stamp_; }
  std::uint32_t ThreadID() const noexcept { return thread_id_; }
  const char* LogTypeAsString() const noexcept { return LogTypeToString(type_); }
  // Only the items whose writing someone waits for have one.
  const std::shared_ptr<TLogWriteReceipt>& Receipt() const noexcept { return receipt_; }
  void SetReceipt(std::shared_ptr<TLogWriteReceipt> receipt) { receipt_ = std::move(receipt); }

 private:
  TLogType type_;
  std::string message_;
  std::string tag_;
  TLogTimeStamp time_stamp_;
  std::uint32_t thread_id_;
  std::shared_ptr<TLogWriteReceipt> receipt_;
};

}  // namespace ostrivan::logging
