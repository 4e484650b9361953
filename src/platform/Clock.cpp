#include "platform/Clock.h"

#include <sys/time.h>
#include <time.h>

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

}  // namespace diviv
