#include "archive/dos_date_time.h"

#include "platform/clock.h"

namespace ostrivan::archive {

std::uint32_t DateTimeToDosDateTime(std::time_t local_time) {
  // A time the system cannot break down reads as 1900, out of range below.
  const std::tm tm = platform::LocalBrokenDown(static_cast<std::int64_t>(local_time));
  int year = tm.tm_year + 1900;
  if (year < 1980 || year > 2107) return 0;
  std::uint32_t date = (static_cast<std::uint32_t>(year - 1980) << 9) |
                       (static_cast<std::uint32_t>(tm.tm_mon + 1) << 5) | static_cast<std::uint32_t>(tm.tm_mday);
  // A leap second (60) would overflow the five-bit field; keep it at 58.
  int second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
  std::uint32_t time = (static_cast<std::uint32_t>(tm.tm_hour) << 11) | (static_cast<std::uint32_t>(tm.tm_min) << 5) |
                       static_cast<std::uint32_t>(second / 2);
  return (date << 16) | time;
}

bool DosDateTimeToDateTime(std::uint32_t dos_date_time, std::time_t& local_time) {
  const int year = 1980 + static_cast<int>(dos_date_time >> 25);
  const int month = static_cast<int>((dos_date_time >> 21) & 0x0F);
  const int day = static_cast<int>((dos_date_time >> 16) & 0x1F);
  const int hour = static_cast<int>((dos_date_time >> 11) & 0x1F);
  const int minute = static_cast<int>((dos_date_time >> 5) & 0x3F);
  const int second = static_cast<int>(dos_date_time & 0x1F) * 2;
  if (month < 1 || month > 12 || hour >= 24 || minute >= 60 || second >= 60) return false;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int days_in_month = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day < 1 || day > days_in_month) return false;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return false;
  local_time = t;
  return true;
}

}  // namespace ostrivan::archive
