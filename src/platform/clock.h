#pragma once
// The wall clock and the local time zone.
#include <cstdint>
#include <ctime>

namespace ostrivan::platform {

// The wall clock now: whole seconds since 1970-01-01 UTC and the microseconds past them.
struct TWallTime {
  std::int64_t Seconds = 0;
  std::int32_t Microseconds = 0;
};
TWallTime WallClockNow();

// Seconds local time is ahead of UTC at that UTC second (negative when behind), under
// the time zone in force (TZ).
std::int64_t LocalOffsetSeconds(std::int64_t utc_seconds);
// A UTC second broken down, as UTC and as local time.
std::tm UtcBrokenDown(std::int64_t utc_seconds);
std::tm LocalBrokenDown(std::int64_t utc_seconds);
// A broken-down UTC time as seconds since 1970-01-01 UTC.
std::int64_t UtcSecondsOf(const std::tm& utc);

}  // namespace ostrivan::platform
