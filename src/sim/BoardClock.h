// The board clock the simulated devices pace themselves by (CLOCK_MONOTONIC)
// and its link to wall-clock time, which stamps their data, in nanoseconds.
#pragma once

#include <time.h>

#include <cstdint>

#include "platform/Clock.h"  // FloorDiv

namespace diviv::sim {

inline constexpr int64_t kNsPerSecond = 1000000000;

inline int64_t ClockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

// Now on the board clock.
inline int64_t BoardNowNs() { return ClockNs(CLOCK_MONOTONIC); }
// Wall-clock time minus board time: board time + offset = wall-clock time.
inline int64_t WallOffsetNs() { return ClockNs(CLOCK_REALTIME) - ClockNs(CLOCK_MONOTONIC); }

}  // namespace diviv::sim
