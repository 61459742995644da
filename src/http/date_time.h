#pragma once
// Date-times as fractional days since 1899-12-30 (the reply and web-response date
// fields use 0 = unset and -1 = none, so a plain number keeps those markers).
#include <string>

namespace ostrivan::http {

using TDateTime = double;

TDateTime NowLocal();
TDateTime LocalToUTC(TDateTime local);
TDateTime UTCToLocal(TDateTime utc);
// "Sat, 24 May 2025 08:05:09 GMT" from a local date-time.
std::string FormatHTTPDate(TDateTime local);
// Parses "Sat, 24 May 2025 08:05:09 GMT" (and the two older forms) to local time;
// -1 when empty or not a date.
TDateTime ParseHTTPDate(const std::string& text);

}  // namespace ostrivan::http
