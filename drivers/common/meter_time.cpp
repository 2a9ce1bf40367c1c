#include "drivers/common/meter_time.h"

namespace kov {

time_t MeterLocalTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm tmv {};
    tmv.tm_year = year - 1900;
    tmv.tm_mon = month - 1;
    tmv.tm_mday = day;
    tmv.tm_hour = hour;
    tmv.tm_min = minute;
    tmv.tm_sec = second;
    tmv.tm_isdst = 0;
    return mktime(&tmv);
}

struct tm LocalParts(time_t t) {
    struct tm tmv {};
    localtime_r(&t, &tmv);
    return tmv;
}

}  // namespace kov
