// Clock helpers: wall-clock "now" and monotonic time.
#pragma once

#include <cstdint>
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

}  // namespace diviv
