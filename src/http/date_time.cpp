#include "http/date_time.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "common/text.h"
#include "platform/clock.h"

namespace ostrivan::http {

namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 in days since 1899-12-30
constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Seconds of a broken-down time read as UTC, with fractions kept apart.
double DaysFromEpochSeconds(double seconds) { return seconds / 86400.0 + kUnixEpochDays; }
double EpochSecondsFromDays(TDateTime days) { return (days - kUnixEpochDays) * 86400.0; }

std::tm BrokenDown(TDateTime value) {
  double secs = std::floor(std::round(EpochSecondsFromDays(value) * 1000.0) / 1000.0);
  return platform::UtcBrokenDown(static_cast<std::int64_t>(secs));
}

}  // namespace

// The zone conversions of the C library take one process-wide lock (and look at the
// zone file) on every call; every reply converts the current time a few times. Each
// thread keeps its last conversion, so the same second is converted once per thread.
namespace {
struct TZoneCache {
  std::string zone;             // the TZ setting both entries were made under
  std::int64_t utc = -1;        // NowLocal: the UTC second last converted ...
  std::int64_t utc_offset = 0;  // ... and its offset to local time
  double local = -1;            // LocalToUTC: the whole local second last converted ...
  time_t local_utc = 0;         // ... and its UTC second
};
thread_local TZoneCache t_zone;

// The cache of this thread, emptied when the TZ setting changed since it was filled.
TZoneCache& ZoneCache() {
  const char* tz = std::getenv("TZ");
  std::string_view zone = tz ? tz : "";
  if (zone != t_zone.zone) {
    t_zone = TZoneCache{};
    t_zone.zone = zone;
  }
  return t_zone;
}
}  // namespace

TDateTime NowLocal() {
  const platform::TWallTime now = platform::WallClockNow();
  const std::int64_t t = now.Seconds;
  TZoneCache& cache = ZoneCache();
  if (t != cache.utc) {
    cache.utc_offset = platform::LocalOffsetSeconds(t);
    cache.utc = t;
  }
  double secs = static_cast<double>(t + cache.utc_offset) + static_cast<double>(now.Microseconds) / 1e6;
  return DaysFromEpochSeconds(secs);
}

// Whole seconds and the millisecond rest, rounded so that 09.9999999 reads as 10.
static void SplitSeconds(TDateTime value, double& whole, double& rest) {
  double ms = std::round(EpochSecondsFromDays(value) * 1000.0);
  whole = std::floor(ms / 1000.0);
  rest = (ms - whole * 1000.0) / 1000.0;
}

TDateTime LocalToUTC(TDateTime local) {
  double whole, rest;
  SplitSeconds(local, whole, rest);
  double secs = whole + rest;
  TZoneCache& cache = ZoneCache();
  if (whole != cache.local) {
    std::tm tm = BrokenDown(local);
    tm.tm_isdst = -1;
    cache.local_utc = mktime(&tm);
    cache.local = whole;
  }
  return DaysFromEpochSeconds(static_cast<double>(cache.local_utc) + (secs - whole));
}

TDateTime UTCToLocal(TDateTime utc) {
  double whole, rest;
  SplitSeconds(utc, whole, rest);
  double secs = whole + rest;
  const auto t = static_cast<std::int64_t>(whole);
  return DaysFromEpochSeconds(static_cast<double>(t + platform::LocalOffsetSeconds(t)) + (secs - whole));
}

std::string FormatHTTPDate(TDateTime local) {
  std::tm tm = BrokenDown(LocalToUTC(local));
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %.2d %s %.4d %.2d:%.2d:%.2d GMT", kDays[tm.tm_wday], tm.tm_mday,
                kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buffer;
}

TDateTime ParseHTTPDate(const std::string& text) {
  if (text.empty()) return -1;
  std::tm tm{};
  char month[4] = {0};
  int day = 0, year = 0, hh = 0, mm = 0, ss = 0;
  const char* comma = std::strchr(text.c_str(), ',');
  const char* rest = comma ? comma + 1 : text.c_str();
  bool ok = std::sscanf(rest, " %d %3s %d %d:%d:%d", &day, month, &year, &hh, &mm, &ss) == 6;
  if (!ok) {
    // "Sun Nov  6 08:49:37 1994"
    char wd[4];
    ok = std::sscanf(text.c_str(), "%3s %3s %d %d:%d:%d %d", wd, month, &day, &hh, &mm, &ss, &year) == 7;
  } else {
    if (year < 100) year += year < 70 ? 2000 : 1900;  // "Sunday, 06-Nov-94 ..."
  }
  if (!ok) {
    char m2[4] = {0};
    ok = std::sscanf(rest, " %d-%3s-%d %d:%d:%d", &day, m2, &year, &hh, &mm, &ss) == 6;
    std::memcpy(month, m2, 4);
    if (ok && year < 100) year += year < 70 ? 2000 : 1900;
  }
  if (!ok) return -1;
  int mon = -1;
  for (int i = 0; i < 12; ++i)
    if (SameText(month, kMonths[i])) mon = i;
  if (mon < 0 || day < 1 || day > 31 || hh > 23 || mm > 59 || ss > 60) return -1;
  tm.tm_year = year - 1900;
  tm.tm_mon = mon;
  tm.tm_mday = day;
  tm.tm_hour = hh;
  tm.tm_min = mm;
  tm.tm_sec = ss;
  return UTCToLocal(DaysFromEpochSeconds(static_cast<double>(platform::UtcSecondsOf(tm))));
}

}  // namespace ostrivan::http
