#pragma once

// Meter calendar dates to Unix time and back. Meters count local time and
// know nothing of daylight saving, so dates are converted with tm_isdst 0.

#include <ctime>

namespace kov {

// year is the full calendar year, month 1-12.
time_t MeterLocalTime(int year, int month, int day, int hour, int minute = 0, int second = 0);
// Local broken-down time of t.
struct tm LocalParts(time_t t);

}  // namespace kov
