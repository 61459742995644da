#include "logging/log_item.h"

#include "platform/process.h"

namespace ostrivan::logging {

const char* LogTypeToString(TLogType type) noexcept {
  switch (type) {
    case TLogType::Debug: return "DEBUG";
    case TLogType::Info: return "INFO";
    case TLogType::Warning: return "WARNING";
    case TLogType::Error: return "ERROR";
  }
  return "UNKNOWN";
}

TLogTimeStamp LogTimeStampNow() noexcept {
  return std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
}

std::uint32_t CurrentThreadID() noexcept {
  thread_local const std::uint32_t id = platform::CurrentThreadNumber();
  return id;
}

TLogItem::TLogItem(TLogType type, std::string message, std::string tag)
    : TLogItem(type, std::move(message), std::move(tag), LogTimeStampNow(), CurrentThreadID()) {}

TLogItem::TLogItem(TLogType type, std::string message, std::string tag, TLogTimeStamp time_stamp,
                   std::uint32_t thread_id)
    : type_(type), message_(std::move(message)), tag_(std::move(tag)), time_stamp_(time_stamp), thread_id_(thread_id) {}

std::unique_ptr<TLogItem> TLogItem::Clone() const {
  auto copy = std::make_unique<TLogItem>(type_, message_, tag_, time_stamp_, thread_id_);
  copy->receipt_ = receipt_;
  return copy;
}

TLogWriteReceipt::TLogWriteReceipt() : waiter_(std::make_shared<TWaiter>()) {}

TLogWriteReceipt::~TLogWriteReceipt() {
  {
    std::lock_guard lock(waiter_->mutex_);
    waiter_->done_ = true;
    waiter_->written_ = written_.load(std::memory_order_acquire);
  }
  waiter_->done_cv_.notify_all();
}

bool TLogWriteReceipt::TWaiter::Wait(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  done_cv_.wait_until(lock, deadline, [this] { return done_; });
  return done_ && written_;
}

}  // namespace ostrivan::logging
