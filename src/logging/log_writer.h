#pragma once
// The asynchronous log writer: a log call builds an item and queues it, nothing more;
// the logger thread and one thread per appender do the writing.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "logging/log_appender.h"
#include "logging/log_item.h"
#include "logging/log_pattern.h"
#include "logging/log_writer_error.h"
#include "logging/logger_thread.h"

namespace ostrivan::logging {

inline constexpr const char* kMainQueueFullMessage =
    "Main logs queue is full. Hints: Are there appenders? Are these appenders fast enough considering the log "
    "item production?";

class ICustomLogWriter {
 public:
  virtual ~ICustomLogWriter() = default;
  virtual std::vector<std::string> GetAppendersClassNames() = 0;
  virtual std::shared_ptr<ILogAppender> GetAppenders(int index) = 0;
  virtual void AddAppender(std::shared_ptr<ILogAppender> appender) = 0;
  virtual void DelAppender(const std::shared_ptr<ILogAppender>& appender) = 0;
  virtual int AppendersCount() = 0;
  // Queues the message unchanged; raises ELogWriterError when the main queue stays full.
  virtual void Log(TLogType type, const std::string& message, const std::string& tag) = 0;
  // Queues the message unchanged, in its place among the other lines, and waits until an
  // appender has written it (the write to its file done, not only queued), at most
  // timeout in all. true when it was written; false when the time ran out (the line may
  // still come later), nobody wrote it or the writer is shut down. Never raises.
  virtual bool LogAndWait(TLogType type, const std::string& message, const std::string& tag,
                          std::chrono::milliseconds timeout) = 0;
};

// The forms with params fill the message as a pattern ("%d", "%0:s", ...); the plain
// forms write it unchanged, "%" and all.
class ILogWriter : public virtual ICustomLogWriter {
 public:
  using ICustomLogWriter::Log;
  virtual void Debug(const std::string& message, const std::string& tag) = 0;
  virtual void Debug(const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  virtual void DebugFmt(const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  virtual void Info(const std::string& message, const std::string& tag) = 0;
  virtual void Info(const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  virtual void InfoFmt(const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  virtual void Warn(const std::string& message, const std::string& tag) = 0;
  virtual void Warn(const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  virtual void WarnFmt(const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  virtual void Error(const std::string& message, const std::string& tag) = 0;
  virtual void Error(const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  virtual void ErrorFmt(const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  virtual void Log(TLogType type, const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  virtual void LogFmt(TLogType type, const std::string& message, const TLogParams& params, const std::string& tag) = 0;
  // Hands every queued item to the appenders, lets them write it, and stops the
  // threads. Later log calls are dropped silently. Idempotent.
  virtual void Shutdown() = 0;
};

class TCustomLogWriter : public virtual ICustomLogWriter {
 public:
  TCustomLogWriter(std::shared_ptr<TLogAppenderList> log_appenders, TLogType log_level);
  ~TCustomLogWriter() override;

  std::vector<std::string> GetAppendersClassNames() override;
  std::shared_ptr<ILogAppender> GetAppenders(int index) override;
  void AddAppender(std::shared_ptr<ILogAppender> appender) override;
  void DelAppender(const std::shared_ptr<ILogAppender>& appender) override;
  int AppendersCount() override;
  void Log(TLogType type, const std::string& message, const std::string& tag) override;
  bool LogAndWait(TLogType type, const std::string& message, const std::string& tag,
                  std::chrono::milliseconds timeout) override;

  TLoggerThread& LoggerThread() noexcept { return *logger_thread_; }
  void SetLoggerThread(std::unique_ptr<TLoggerThread> logger_thread) { logger_thread_ = std::move(logger_thread); }
  TLogType LogLevel() const noexcept { return log_level_; }

 protected:
  void StopLogging();

 private:
  std::unique_ptr<TLoggerThread> logger_thread_;
  std::shared_ptr<TLogAppenderList> log_appenders_;
  TLogType log_level_;
  std::mutex stop_mutex_;
};

class TLogWriter final : public TCustomLogWriter, public ILogWriter {
 public:
  using TCustomLogWriter::TCustomLogWriter;

  using TCustomLogWriter::Log;

  void Debug(const std::string& message, const std::string& tag) override;
  void Debug(const std::string& message, const TLogParams& params, const std::string& tag) override;
  void DebugFmt(const std::string& message, const TLogParams& params, const std::string& tag) override;
  void Info(const std::string& message, const std::string& tag) override;
  void Info(const std::string& message, const TLogParams& params, const std::string& tag) override;
  void InfoFmt(const std::string& message, const TLogParams& params, const std::string& tag) override;
  void Warn(const std::string& message, const std::string& tag) override;
  void Warn(const std::string& message, const TLogParams& params, const std::string& tag) override;
  void WarnFmt(const std::string& message, const TLogParams& params, const std::string& tag) override;
  void Error(const std::string& message, const std::string& tag) override;
  void Error(const std::string& message, const TLogParams& params, const std::string& tag) override;
  void ErrorFmt(const std::string& message, const TLogParams& params, const std::string& tag) override;
  void Log(TLogType type, const std::string& message, const TLogParams& params, const std::string& tag) override;
  void LogFmt(TLogType type, const std::string& message, const TLogParams& params, const std::string& tag) override;
  void Shutdown() override { StopLogging(); }
};

// A running writer over copies of the given appenders (the main queue and logger
// thread are created and started here).
std::shared_ptr<ILogWriter> MakeLogWriter(const std::vector<std::shared_ptr<ILogAppender>>& appenders,
                                          std::shared_ptr<TLogEventsHandler> events_handler = nullptr,
                                          TLogType log_level = TLogType::Debug, TAppenderThreadTimings timings = {});

}  // namespace ostrivan::logging
