#pragma once
// What every appender offers to its thread, and the base that owns the line layout.
#include <atomic>
#include <functional>
#include <string>

#include "logging/log_item.h"

namespace ostrivan::logging {

// The process-wide line layout:
//   "2025-05-24 09:03:07:045  [TID 4512    ][INFO      ] Server started on port 8080 [torniomvc]"
inline constexpr const char* kDefaultLogFormat = "%0:s [TID %1:-8d][%2:-10s] %3:s [%4:s]";

// Setup, WriteLog and TearDown are called only from the appender's own thread; the
// level and error time stamp are read by other threads too.
class ILogAppender {
 public:
  virtual ~ILogAppender() = default;
  virtual const char* ClassName() const noexcept = 0;
  virtual void Setup() = 0;
  // Writes the item's line and passes it on to its destination before returning.
  virtual void WriteLog(const TLogItem& log_item) = 0;
  // Writes the item's line, possibly keeping it in a buffer of the appender until
  // FlushLog. The appender thread calls it for every item of a batch and then FlushLog
  // once, before it waits for more. By default the same as WriteLog.
  virtual void AppendLog(const TLogItem& log_item) { WriteLog(log_item); }
  // Passes every line kept by AppendLog on to its destination.
  virtual void FlushLog() {}
  virtual void TearDown() = 0;
  virtual void SetLogLevel(TLogType value) = 0;
  virtual TLogType GetLogLevel() const = 0;
  virtual void TryToRestart(bool& restarted) = 0;
  virtual void SetLastErrorTimeStamp(TLogTimeStamp value) = 0;
  virtual TLogTimeStamp GetLastErrorTimeStamp() const = 0;
};

// Builds the whole line text for an item instead of the layout.
using TOnAppenderLogRow = std::function<void(const TLogItem& log_item, std::string& log_row)>;

// "YYYY-MM-DD HH:NN:SS:ZZZ" in local time, followed by one blank unless the moment is
// exactly midnight (the empty long-time pattern still brings its separator).
std::string TimeStampText(TLogTimeStamp time_stamp);
void AppendTimeStampText(std::string& out, TLogTimeStamp time_stamp);

class TLogAppenderBase : public ILogAppender {
 public:
  explicit TLogAppenderBase(std::string log_format = kDefaultLogFormat);

  const char* ClassName() const noexcept override { return "TLogAppenderBase"; }
  void Setup() override {}
  virtual std::string FormatLog(const TLogItem& log_item) const;
  void TearDown() override {}
  void TryToRestart(bool& restarted) override { restarted = false; }

  void SetLogLevel(TLogType value) override { log_level_.store(value, std::memory_order_relaxed); }
  TLogType GetLogLevel() const override { return log_level_.load(std::memory_order_relaxed); }
  void SetLastErrorTimeStamp(TLogTimeStamp value) override { last_error_time_stamp_.store(value); }
  TLogTimeStamp GetLastErrorTimeStamp() const override { return last_error_time_stamp_.load(); }

  void SetOnLogRow(TOnAppenderLogRow on_log_row) { on_log_row_ = std::move(on_log_row); }
  const std::string& LogFormat() const noexcept { return log_format_; }

 protected:
  // FormatLog into a caller-owned buffer, so a writing thread can reuse one allocation.
  void FormatLogInto(const TLogItem& log_item, std::string& out) const;

 private:
  // Read by the logger thread while the appender thread runs.
  std::atomic<TLogType> log_level_{TLogType::Debug};
  std::atomic<TLogTimeStamp> last_error_time_stamp_{TLogTimeStamp{}};
  TOnAppenderLogRow on_log_row_;
  std::string log_format_;
};

}  // namespace ostrivan::logging
