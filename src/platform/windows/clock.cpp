#include "platform/clock.h"

#include "platform/windows/windows_support.h"

#include <time.h>

namespace ostrivan::platform {

namespace {

// 100-nanosecond steps from 1601-01-01 (the system's epoch) to 1970-01-01.
constexpr std::int64_t kClockEpochSteps = 116444736000000000LL;

// Days since 1970-01-01 of a proleptic Gregorian date (month 1-12), for every year.
std::int64_t ClockDaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const int shifted_month = month > 2 ? month - 3 : month + 9;
  const std::int64_t day_of_year = (153 * shifted_month + 2) / 5 + day - 1;
  const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

std::int64_t ClockFloorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

TWallTime WallClockNow() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  const std::int64_t steps =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) -
      kClockEpochSteps;
  return {ClockFloorDiv(steps, 10000000),
          static_cast<std::int32_t>((steps - ClockFloorDiv(steps, 10000000) * 10000000) / 10)};
}

std::tm UtcBrokenDown(std::int64_t utc_seconds) {
  // Worked out here rather than by the C runtime, which refuses times before 1970.
  const std::int64_t days = ClockFloorDiv(utc_seconds, 86400);
  const std::int64_t rest = utc_seconds - days * 86400;
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t day_of_era = z - era * 146097;
  const std::int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  std::tm tm{};
  tm.tm_year = static_cast<int>(year - 1900);
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = static_cast<int>(rest / 3600);
  tm.tm_min = static_cast<int>(rest / 60 % 60);
  tm.tm_sec = static_cast<int>(rest % 60);
  tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  tm.tm_yday = static_cast<int>(days - ClockDaysFromCivil(year, 1, 1));
  tm.tm_isdst = 0;
  return tm;
}

std::tm LocalBrokenDown(std::int64_t utc_seconds) {
  // The C runtime's local time follows TZ when set, else the system's time zone.
  const __time64_t t = static_cast<__time64_t>(utc_seconds);
  std::tm tm{};
  if (_localtime64_s(&tm, &t) != 0) return UtcBrokenDown(utc_seconds);
  return tm;
}

std::int64_t LocalOffsetSeconds(std::int64_t utc_seconds) {
  return UtcSecondsOf(LocalBrokenDown(utc_seconds)) - utc_seconds;
}

std::int64_t UtcSecondsOf(const std::tm& utc) {
  // Fields out of their range carry over, as timegm lets them.
  const std::int64_t months = static_cast<std::int64_t>(utc.tm_year) * 12 + utc.tm_mon;
  const std::int64_t year = ClockFloorDiv(months, 12) + 1900;
  const int month = static_cast<int>(months - ClockFloorDiv(months, 12) * 12) + 1;
  const std::int64_t days = ClockDaysFromCivil(year, month, 1) + utc.tm_mday - 1;
  return days * 86400 + static_cast<std::int64_t>(utc.tm_hour) * 3600 + static_cast<std::int64_t>(utc.tm_min) * 60 +
         utc.tm_sec;
}

}  // namespace ostrivan::platform
