#include "logging/log_item.h"

#include <unistd.h>

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
  thread_local const std::uint32_t id = static_cast<std::uint32_t>(::gettid());
  return id;
}

TLogItem::TLogItem(TLogType type, std::string message, std::string tag)
    : TLogItem(type, std::move(message), std::move(tag), LogTimeStampNow(), CurrentThreadID()) {}

TLogItem::TLogItem(TLogType type, std::string message, std::string tag, TLogTimeStamp time_stamp,
                   std::uint32_t thread_id)
    : type_(type),
      message_(std::move(message)),
      tag_(std::move(tag)),
      time_stamp_(time_stamp),
      thread_id_(thread_id) {}

std::unique_ptr<TLogItem> TLogItem::Clone() const {
  return std::make_unique<TLogItem>(type_, message_, tag_, time_stamp_, thread_id_);
}

}  // namespace ostrivan::logging
