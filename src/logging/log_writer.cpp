#include "logging/log_writer.h"

#include <algorithm>

namespace ostrivan::logging {

TCustomLogWriter::TCustomLogWriter(std::shared_ptr<TLogAppenderList> log_appenders, TLogType log_level)
    : log_appenders_(std::move(log_appenders)), log_level_(log_level) {}

TCustomLogWriter::~TCustomLogWriter() { StopLogging(); }

void TCustomLogWriter::StopLogging() {
  std::lock_guard lock(stop_mutex_);
  if (!logger_thread_) return;
  logger_thread_->Terminate();
  logger_thread_->WaitFor();
  logger_thread_->LogQueue().DoShutDown();
}

std::vector<std::string> TCustomLogWriter::GetAppendersClassNames() {
  std::lock_guard lock(log_appenders_->mutex);
  std::vector<std::string> names;
  for (const auto& appender : log_appenders_->appenders) names.emplace_back(appender->ClassName());
  return names;
}

std::shared_ptr<ILogAppender> TCustomLogWriter::GetAppenders(int index) {
  std::lock_guard lock(log_appenders_->mutex);
  if (index < 0 || static_cast<std::size_t>(index) >= log_appenders_->appenders.size()) {
    throw EArgumentException("Appender index out of range: " + std::to_string(index));
  }
  return log_appenders_->appenders[static_cast<std::size_t>(index)];
}

void TCustomLogWriter::AddAppender(std::shared_ptr<ILogAppender> appender) {
  std::lock_guard lock(log_appenders_->mutex);
  log_appenders_->appenders.push_back(std::move(appender));
  log_appenders_->version.fetch_add(1, std::memory_order_release);
  if (logger_thread_) logger_thread_->LogQueue().WakeUp();
}

void TCustomLogWriter::DelAppender(const std::shared_ptr<ILogAppender>& appender) {
  std::lock_guard lock(log_appenders_->mutex);
  auto& list = log_appenders_->appenders;
  list.erase(std::remove(list.begin(), list.end(), appender), list.end());
  log_appenders_->version.fetch_add(1, std::memory_order_release);
  if (logger_thread_) logger_thread_->LogQueue().WakeUp();
}

int TCustomLogWriter::AppendersCount() {
  std::lock_guard lock(log_appenders_->mutex);
  return static_cast<int>(log_appenders_->appenders.size());
}

void TCustomLogWriter::Log(TLogType type, const std::string& message, const std::string& tag) {
  if (type < log_level_) return;
  TThreadSafeQueue& queue = logger_thread_->LogQueue();
  if (queue.Enqueue(std::make_unique<TLogItem>(type, message, tag))) return;
  // A writer that has been shut down drops late lines instead of failing its caller.
  if (queue.IsShutDown()) return;
  throw ELogWriterError(kMainQueueFullMessage);
}

bool TCustomLogWriter::LogAndWait(TLogType type, const std::string& message, const std::string& tag,
                                  std::chrono::milliseconds timeout) {
  if (type < log_level_) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::shared_ptr<TLogWriteReceipt::TWaiter> waiter;
  try {
    auto item = std::make_unique<TLogItem>(type, message, tag);
    auto receipt = std::make_shared<TLogWriteReceipt>();
    waiter = receipt->Waiter();
    item->SetReceipt(std::move(receipt));
    // A full queue backs off no longer than the wait allows; a refused item is freed,
    // which ends the wait below at once.
    logger_thread_->LogQueue().Enqueue(std::move(item),
                                       [deadline] { return std::chrono::steady_clock::now() >= deadline; });
  } catch (...) {
    return false;  // the caller learns it; the log that failed cannot say it
  }
  return waiter->Wait(deadline);
}

void TLogWriter::Debug(const std::string& message, const std::string& tag) { Log(TLogType::Debug, message, tag); }
void TLogWriter::Debug(const std::string& message, const TLogParams& params, const std::string& tag) {
  LogFmt(TLogType::Debug, message, params, tag);
}
void TLogWriter::DebugFmt(const std::string& message, const TLogParams& params, const std::string& tag) {
  LogFmt(TLogType::Debug, message, params, tag);
}
void TLogWriter::Info(const std::string& message, const std::string& tag) { Log(TLogType::Info, message, tag); }
void TLogWriter::Info(const std::string& message, const TLogParams& params, const std::string& tag) {
  LogFmt(TLogType::Info, message, params, tag);
}
void TLogWriter::InfoFmt(const std::string& message, const TLogParams& params, const std::string& tag) {
  LogFmt(TLogType::Info, message, params, tag);
}
void TLogWriter::Warn(const std::string& message, const std::string& tag) { Log(TLogType::Warning, message, tag); }
void TLogWriter::Warn(const std::string& message, const TLogParams& params, const std::string& tag) {
  LogFmt(TLogType::Warning, message, params, tag);
}
void TLogWriter::WarnFmt(const std::string& message, const TLogParams& params, const std::string& tag) {
  LogFmt(TLogType::Warning, message, params, tag);
}
void TLogWriter::Error(const std::string& message, const std::string& tag) { Log(TLogType::Error, message, tag); }
void TLogWriter::Error(const std::string& message, const TLogParams& params, const std::string& tag) {
  LogFmt(TLogType::Error, message, params, tag);
}
void TLogWriter::ErrorFmt(const std::string& message, const TLogParams& params, const std::string& tag) {
  LogFmt(TLogType::Error, message, params, tag);
}
void TLogWriter::Log(TLogType type, const std::string& message, const TLogParams& params, const std::string& tag) {
  LogFmt(type, message, params, tag);
}
void TLogWriter::LogFmt(TLogType type, const std::string& message, const TLogParams& params, const std::string& tag) {
  if (type < LogLevel()) return;  // no formatting for a line nobody keeps
  Log(type, FormatLogPattern(message, params), tag);
}

std::shared_ptr<ILogWriter> MakeLogWriter(const std::vector<std::shared_ptr<ILogAppender>>& appenders,
                                          std::shared_ptr<TLogEventsHandler> events_handler, TLogType log_level,
                                          TAppenderThreadTimings timings) {
  auto list = std::make_shared<TLogAppenderList>();
  list->appenders = appenders;
  auto writer = std::make_shared<TLogWriter>(list, log_level);
  auto logger_thread = std::make_unique<TLoggerThread>(list, timings);
  logger_thread->SetEventsHandler(std::move(events_handler));
  writer->SetLoggerThread(std::move(logger_thread));
  writer->LoggerThread().Start();
  return writer;
}

}  // namespace ostrivan::logging
