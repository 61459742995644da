#include "logging/log_appender.h"

#include <ctime>
#include <limits>

#include "logging/log_pattern.h"
#include "platform/clock.h"

namespace ostrivan::logging {

namespace {

void Append2(std::string& out, int v) {
  out.push_back(static_cast<char>('0' + v / 10 % 10));
  out.push_back(static_cast<char>('0' + v % 10));
}

}  // namespace

void AppendTimeStampText(std::string& out, TLogTimeStamp time_stamp) {
  const auto ms_since_epoch = time_stamp.time_since_epoch().count();
  std::time_t seconds = static_cast<std::time_t>(ms_since_epoch / 1000);
  int millis = static_cast<int>(ms_since_epoch % 1000);
  if (millis < 0) {
    millis += 1000;
    --seconds;
  }
  // Lines come many to a second: the calendar part is worked out once per second and
  // thread. (The time zone is read once per process by the C library as well.)
  struct SecondText {
    std::time_t seconds = std::numeric_limits<std::time_t>::min();
    std::string text;  // "YYYY-MM-DD HH:NN:SS"
    bool midnight = false;
  };
  thread_local SecondText cache;
  if (cache.seconds != seconds) {
    const std::tm local = platform::LocalBrokenDown(static_cast<std::int64_t>(seconds));
    std::string text;
    const int year = local.tm_year + 1900;
    text.push_back(static_cast<char>('0' + year / 1000 % 10));
    text.push_back(static_cast<char>('0' + year / 100 % 10));
    Append2(text, year % 100);
    text.push_back('-');
    Append2(text, local.tm_mon + 1);
    text.push_back('-');
    Append2(text, local.tm_mday);
    text.push_back(' ');
    Append2(text, local.tm_hour);
    text.push_back(':');
    Append2(text, local.tm_min);
    text.push_back(':');
    Append2(text, local.tm_sec);
    cache.text = std::move(text);
    cache.midnight = local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0;
    cache.seconds = seconds;
  }
  out.append(cache.text);
  out.push_back(':');
  out.push_back(static_cast<char>('0' + millis / 100));
  Append2(out, millis % 100);
  if (!cache.midnight || millis != 0) out.push_back(' ');
}

std::string TimeStampText(TLogTimeStamp time_stamp) {
  std::string out;
  AppendTimeStampText(out, time_stamp);
  return out;
}

TLogAppenderBase::TLogAppenderBase(std::string log_format) : log_format_(std::move(log_format)) {}

void TLogAppenderBase::FormatLogInto(const TLogItem& log_item, std::string& out) const {
  if (on_log_row_) {
    std::string row;
    on_log_row_(log_item, row);
    out.append(row);
    return;
  }
  if (log_format_ == kDefaultLogFormat) {
    // The service's layout, written directly: the general path builds a parameter
    // list per line, which the hot path can do without.
    AppendTimeStampText(out, log_item.TimeStamp());
    out.append(" [TID ");
    const std::string tid = std::to_string(log_item.ThreadID());
    out.append(tid);
    if (tid.size() < 8) out.append(8 - tid.size(), ' ');
    out.append("][");
    const std::string_view level = log_item.LogTypeAsString();
    out.append(level);
    if (level.size() < 10) out.append(10 - level.size(), ' ');
    out.append("] ");
    out.append(log_item.LogMessage());
    out.append(" [");
    out.append(log_item.LogTag());
    out.push_back(']');
    return;
  }
  AppendLogPattern(out, log_format_,
                   {TimeStampText(log_item.TimeStamp()), static_cast<std::int64_t>(log_item.ThreadID()),
                    log_item.LogTypeAsString(), log_item.LogMessage(), log_item.LogTag()});
}

std::string TLogAppenderBase::FormatLog(const TLogItem& log_item) const {
  std::string out;
  FormatLogInto(log_item, out);
  return out;
}

}  // namespace ostrivan::logging
