#include "logging/default_log_writer.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

namespace ostrivan::logging {

namespace {

struct TDefaultWriterState {
  std::mutex lock;
  std::shared_ptr<ILogWriter> writer;
  std::atomic<ILogWriter*> published{nullptr};
  bool exit_hook_registered = false;
};

// Never destroyed: threads that log late during exit must still find valid state.
TDefaultWriterState& State() {
  alignas(TDefaultWriterState) static unsigned char storage[sizeof(TDefaultWriterState)];
  static TDefaultWriterState* state = ::new (storage) TDefaultWriterState();
  return *state;
}

// Called with the lock held, after the writer's first line is queued, so that no
// other thread's line can come before it.
void Publish(TDefaultWriterState& state) {
  state.published.store(state.writer.get(), std::memory_order_release);
  if (!state.exit_hook_registered) {
    state.exit_hook_registered = true;
    std::atexit([] { ShutdownDefaultLogWriter(); });
  }
}

}  // namespace

std::shared_ptr<TLogFileAppender> MakeDefaultFileAppender(const std::string& logs_folder) {
  return std::make_shared<TLogFileAppender>(kDefaultMaxBackupFileCount, kDefaultMaxFileSizeInKiloByte,
                                            logs_folder.empty() ? ExecutableDirectory() + "logs" : logs_folder,
                                            TFileAppenderOptions{}, kDefaultLogFileNameFormat, kDefaultLogFormat);
}

namespace {

void CreateDefaultWriterLocked(TDefaultWriterState& state) {
  if (state.writer) return;
  auto appender = MakeDefaultFileAppender();
  appender->SetLogLevel(TLogType::Debug);
  state.writer = MakeLogWriter({appender}, nullptr, TLogType::Debug);
}

}  // namespace

void CreateDefaultLogWriter() {
  auto& state = State();
  std::lock_guard lock(state.lock);
  if (state.writer) return;
  CreateDefaultWriterLocked(state);
  Publish(state);
}

void InstallLogWriter(std::shared_ptr<ILogWriter> log_writer) {
  auto& state = State();
  if (state.published.load(std::memory_order_acquire)) return;
  std::lock_guard lock(state.lock);
  if (state.writer) return;
  if (log_writer) {
    state.writer = std::move(log_writer);
    state.writer->Info("Custom Logger initialized", kFrameworkLogTag);
  } else {
    CreateDefaultWriterLocked(state);
    state.writer->Info("Default Logger initialized", kFrameworkLogTag);
  }
  Publish(state);
}

std::shared_ptr<ILogWriter> DefaultLogWriter() {
  auto& state = State();
  if (!state.published.load(std::memory_order_acquire)) InstallLogWriter();
  // The writer pointer never changes once published, so reading it without the lock is safe.
  return state.writer;
}

void ShutdownDefaultLogWriter() {
  auto& state = State();
  std::shared_ptr<ILogWriter> writer;
  {
    std::lock_guard lock(state.lock);
    writer = state.writer;
  }
  if (writer) writer->Shutdown();
}

}  // namespace ostrivan::logging
