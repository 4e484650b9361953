// Clock helpers: wall-clock "now" and monotonic time.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// The recorder's capture-time record: two signed 32-bit words (the board is
// 32-bit), independent of the host's struct timeval.
struct dr_timeval {
    int32_t tv_sec;
    int32_t tv_usec;
};
static_assert(sizeof(dr_timeval) == 8);

namespace diviv {

// Wall-clock time now.
dr_timeval Now();

// Monotonic milliseconds since an arbitrary start; never goes back.
int64_t MonotonicMs();

// Monotonic microseconds.
int64_t MonotonicUs();

// Local time now as "YYYY/MM/DD hh:mm:ss:mmm" (console reports of power loss).
std::string LocalTimeStampMs();

// a / b rounded towards minus infinity (times before 1970 stay ordered).
inline constexpr int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

// Seconds since 1970-01-01 00:00:00 of a calendar time counted as UTC (the
// fields need not be normalised), and back (tm_wday and tm_yday filled,
// tm_isdst 0). 64 bits on every platform: the board's 32-bit time_t ends in
// 2038, and a GPS date "99" is 2099.
int64_t UtcSeconds(const std::tm& t);
std::tm UtcCalendar(int64_t seconds);

}  // namespace diviv
