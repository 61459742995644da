#pragma once
// Log levels and the item that travels from a log call to every appender.
#include <chrono>
#include <cstdint>
#include <memory>
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

class TLogItem {
 public:
  // Stamps the current time and the calling thread's id.
  TLogItem(TLogType type, std::string message, std::string tag);
  TLogItem(TLogType type, std::string message, std::string tag, TLogTimeStamp time_stamp,
           std::uint32_t thread_id);

  std::unique_ptr<TLogItem> Clone() const;

  TLogType LogType() const noexcept { return type_; }
  const std::string& LogMessage() const noexcept { return message_; }
  const std::string& LogTag() const noexcept { return tag_; }
  TLogTimeStamp TimeStamp() const noexcept { return time_stamp_; }
  std::uint32_t ThreadID() const noexcept { return thread_id_; }
  const char* LogTypeAsString() const noexcept { return LogTypeToString(type_); }

 private:
  TLogType type_;
  std::string message_;
  std::string tag_;
  TLogTimeStamp time_stamp_;
  std::uint32_t thread_id_;
};

}  // namespace ostrivan::logging
