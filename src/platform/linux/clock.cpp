#include "platform/clock.h"

#include <sys/time.h>

namespace ostrivan::platform {

TWallTime WallClockNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return {static_cast<std::int64_t>(tv.tv_sec), static_cast<std::int32_t>(tv.tv_usec)};
}

std::int64_t LocalOffsetSeconds(std::int64_t utc_seconds) {
  const time_t t = static_cast<time_t>(utc_seconds);
  std::tm local{};
  localtime_r(&t, &local);
  return static_cast<std::int64_t>(timegm(&local) - t);
}

std::tm UtcBrokenDown(std::int64_t utc_seconds) {
  const time_t t = static_cast<time_t>(utc_seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

std::tm LocalBrokenDown(std::int64_t utc_seconds) {
  const time_t t = static_cast<time_t>(utc_seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::int64_t UtcSecondsOf(const std::tm& utc) {
  std::tm copy = utc;
  return static_cast<std::int64_t>(timegm(&copy));
}

}  // namespace ostrivan::platform
