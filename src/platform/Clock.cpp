#include "platform/Clock.h"

#include <sys/time.h>
#include <time.h>

#include <cstdio>

namespace diviv {

dr_timeval Now() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return dr_timeval{static_cast<int32_t>(tv.tv_sec), static_cast<int32_t>(tv.tv_usec)};
}

int64_t MonotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t MonotonicMs() { return MonotonicUs() / 1000; }

std::string LocalTimeStampMs() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    localtime_r(&tv.tv_sec, &t);
    char text[80];  // room for any int the fields may hold
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d:%03d", t.tm_year + 1900, t.tm_mon + 1,
                  t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    return text;
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = FloorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

int64_t UtcSeconds(const std::tm& t) {
    const int64_t months = int64_t{t.tm_year} * 12 + t.tm_mon;
    const int64_t year = 1900 + FloorDiv(months, 12);
    const int64_t mon = months - FloorDiv(months, 12) * 12;  // 0..11
    const int64_t days = DaysFromCivil(year, mon + 1, 1) + t.tm_mday - 1;
    return days * 86400 + int64_t{t.tm_hour} * 3600 + int64_t{t.tm_min} * 60 + t.tm_sec;
}

std::tm UtcCalendar(int64_t seconds) {
    const int64_t days = FloorDiv(seconds, 86400);
    const int64_t rest = seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = FloorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = yoe + era * 400 + (m <= 2);
    std::tm t{};
    t.tm_year = static_cast<int>(y - 1900);
    t.tm_mon = static_cast<int>(m - 1);
    t.tm_mday = static_cast<int>(d);
    t.tm_hour = static_cast<int>(rest / 3600);
    t.tm_min = static_cast<int>(rest / 60 % 60);
    t.tm_sec = static_cast<int>(rest % 60);
    t.tm_wday = static_cast<int>(FloorDiv(days + 4, 7) * -7 + days + 4);  // 1970-01-01 was a Thursday
    t.tm_yday = static_cast<int>(days - DaysFromCivil(y, 1, 1));
    t.tm_isdst = 0;
    return t;
}

}  // namespace diviv
