// One NMEA sentence from the GPS module as rmc_buf carries it from the GPS
// receiver to the recording writer: written and read whole, 108 bytes on
// every platform.
#pragma once

#include <cstddef>

#include "platform/Clock.h"

inline constexpr int kGpsSentenceSize = 100;

struct gps_buffer {
    dr_timeval timestamp;            // time of day when the sentence was handed over
    char rmc_data[kGpsSentenceSize];  // from "$" to its end, with the CR before the LF but not
                                      // the LF; the rest is NUL
};
static_assert(sizeof(gps_buffer) == 108);
static_assert(offsetof(gps_buffer, rmc_data) == 8);
