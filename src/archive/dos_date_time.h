#pragma once
// DOS date and time as zip headers keep them: time in the low 16 bits, date in the
// high 16 bits, local time, two-second resolution.
#include <cstdint>
#include <ctime>

namespace ostrivan::archive {

// 0 for a year outside 1980-2107; seconds are halved with the remainder dropped.
std::uint32_t DateTimeToDosDateTime(std::time_t local_time);
// False unless the value is a real date and time (month 1-12, a day of that month,
// hour < 24, minute < 60, second < 60).
bool DosDateTimeToDateTime(std::uint32_t dos_date_time, std::time_t& local_time);

}  // namespace ostrivan::archive
